#!/bin/bash
# A mission flown without a drone: brings up a private MQTT broker and the
# simulated px4ctrl, car, platform and camera, writes a demo configuration
# that points the daemon at them, starts the daemon and lets the simulated car
# send a mission (the first 3 s after it connects, then one every 60 s).
# Ctrl+C stops everything. Files go to a fresh directory under /tmp (printed
# at start); KOVO_RUN_DIR names another one, KOVO_DAEMON another binary.
set -euo pipefail
cd "$(dirname "$0")/.."

DAEMON=${KOVO_DAEMON:-./build/kovo_sio_client}
if [ ! -x "$DAEMON" ]; then
    echo "run.sh: $DAEMON is missing; build it first (make build)" >&2
    exit 1
fi
PATH="$PATH:/usr/sbin"  # mosquitto lives there
for tool in node mosquitto; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "run.sh: $tool is not installed (make deps)" >&2
        exit 1
    fi
done

RUN_DIR=${KOVO_RUN_DIR:-$(mktemp -d /tmp/kovo_run.XXXXXX)}
mkdir -p "$RUN_DIR/tasks"
chmod 755 "$RUN_DIR"
PIDS=()

stop_all() {
    trap - INT TERM EXIT
    echo
    echo "run.sh: stopping"
    local pid
    for pid in "${PIDS[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${PIDS[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    echo "run.sh: files kept in $RUN_DIR"
}
trap stop_all INT TERM EXIT

# A port that is free now on 127.0.0.1.
free_port() {
    node -e "const s=require('net').createServer().listen(0,'127.0.0.1',()=>{console.log(s.address().port);s.close()})"
}

port_free() {
    ! node -e "const c=require('net').connect($1,'127.0.0.1');c.on('connect',()=>process.exit(0));c.on('error',()=>process.exit(1))"
}

# Starts tools/<name>.js with its events in $RUN_DIR/<name>.log and prints
# the port from its listening line.
start_peer() {
    local name=$1
    shift
    node "tools/$name.js" "$@" </dev/null >"$RUN_DIR/$name.log" 2>&1 &
    PIDS+=($!)
    local i
    for i in $(seq 1 150); do
        local port
        port=$(sed -n 's/^{"event":"listening","port":\([0-9]*\).*/\1/p' "$RUN_DIR/$name.log" | head -n 1)
        if [ -n "$port" ]; then
            echo "$port"
            return 0
        fi
        sleep 0.1
    done
    echo "run.sh: $name did not start; see $RUN_DIR/$name.log" >&2
    return 1
}

MQTT_PORT=1883
port_free "$MQTT_PORT" || MQTT_PORT=$(free_port)
cat >"$RUN_DIR/mosquitto.conf" <<EOF
listener $MQTT_PORT 127.0.0.1
allow_anonymous true
persistence false
EOF
chmod 644 "$RUN_DIR/mosquitto.conf"
mosquitto -c "$RUN_DIR/mosquitto.conf" >"$RUN_DIR/mosquitto.log" 2>&1 &
PIDS+=($!)
for i in $(seq 1 50); do
    port_free "$MQTT_PORT" || break
    sleep 0.1
done

PX4_PORT=$(start_peer sim_px4ctrl --photos both --task-parent "$RUN_DIR/tasks")
CAMERA_PORT=$(start_peer sim_camera)
# The daemon reaches the broker through the platform's relay, which
# SIGUSR1 cuts and restores; SIGUSR2 makes the platform refuse uploads.
PLATFORM_PORT=$(start_peer sim_platform --mqtt-url "mqtt://127.0.0.1:$MQTT_PORT" --mqtt-proxy-port 0)
RELAY_PORT=""
for i in $(seq 1 50); do
    RELAY_PORT=$(sed -n 's/^{"event":"mqtt_proxy","port":\([0-9]*\).*/\1/p' "$RUN_DIR/sim_platform.log" | head -n 1)
    [ -n "$RELAY_PORT" ] && break
    sleep 0.1
done
PLATFORM_PID=$(sed -n 's/^{"event":"mqtt_proxy".*"pid":\([0-9]*\).*/\1/p' "$RUN_DIR/sim_platform.log" | head -n 1)
CAR_PORT=$(start_peer sim_car --keep-running --quiet-realtime --heights 1.5,3 --warehouse A1,A2 \
    --upload-url "http://127.0.0.1:$PLATFORM_PORT/media/upload" --mission-after 3000 --mission-every 60000)
WEB_PORT=18080
port_free "$WEB_PORT" || WEB_PORT=$(free_port)

cat >"$RUN_DIR/config.json" <<EOF
{
    "px4ctrl": {"host": "127.0.0.1", "port": $PX4_PORT},
    "socketio": {"uri": "http://127.0.0.1:$CAR_PORT"},
    "mqtt": {"host": "127.0.0.1", "port": $RELAY_PORT},
    "platform": {"url": "http://127.0.0.1:$PLATFORM_PORT"},
    "siyi": {"ip": "127.0.0.1", "http_port": $CAMERA_PORT},
    "stats": {"enabled": true, "web_port": $WEB_PORT},
    "spool": {"dir": "$RUN_DIR/spool"}
}
EOF

cat <<EOF
run.sh: simulated peers are up (their events: $RUN_DIR/*.log)
  px4ctrl   ws://127.0.0.1:$PX4_PORT  (task directories under $RUN_DIR/tasks)
  car       http://127.0.0.1:$CAR_PORT  (a mission 3 s after the daemon connects, then every 60 s)
  platform  http://127.0.0.1:$PLATFORM_PORT  (MQTT broker 127.0.0.1:$MQTT_PORT, relayed to the daemon on $RELAY_PORT)
  outages   kill -USR1 $PLATFORM_PID: broker away / back; kill -USR2 $PLATFORM_PID: uploads refused / accepted
            (the spool's state: the dashboard and /api/stats; its files: $RUN_DIR/spool)
  camera    http://127.0.0.1:$CAMERA_PORT
  dashboard http://127.0.0.1:$WEB_PORT/
run.sh: starting the daemon with $RUN_DIR/config.json; Ctrl+C stops everything
EOF

"$DAEMON" --config "$RUN_DIR/config.json" "$@" &
PIDS+=($!)
wait "${PIDS[-1]}" || true
