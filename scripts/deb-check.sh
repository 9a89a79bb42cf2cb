#!/bin/sh
# Builds the .deb (make deb), installs it on this machine with dpkg -i, checks
# the files, the system user, the unit and the dependencies, then removes and
# purges it. Needs root (or sudo) and changes the machine: run it on a build or
# CI machine, not on a companion computer in service.
set -eu
cd "$(dirname "$0")/.."
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
fail() {
    echo "deb-check: FAIL: $*" >&2
    exit 1
}

make deb
deb=$(ls -t build/kovo-sio-client_*.deb | head -n 1)
echo "deb-check: $deb"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libwebsockets libmosquitto libssl libsystemd adduser; do
    echo "$depends" | grep -q "$lib" || fail "Depends lacks $lib: $depends"
done
dpkg-deb -e "$deb" /tmp/kovo_deb_control.$$
grep -qx /etc/kovo_sio_client/config.json /tmp/kovo_deb_control.$$/conffiles || fail "configuration is no conffile"
rm -rf /tmp/kovo_deb_control.$$

$SUDO dpkg -i "$deb"
for f in /usr/bin/kovo_sio_client /etc/kovo_sio_client/config.json /usr/lib/systemd/system/kovo_sio_client.service \
    /usr/share/doc/kovo_sio_client/README.md; do
    [ -e "$f" ] || fail "$f not installed"
done
getent passwd kovo_sio_client >/dev/null || fail "no system user kovo_sio_client"
[ "$(stat -c %G /etc/kovo_sio_client)" = kovo_sio_client ] || fail "configuration directory not the daemon's group"
grep -qx "ExecStart=/usr/bin/kovo_sio_client --config /etc/kovo_sio_client/config.json" \
    /usr/lib/systemd/system/kovo_sio_client.service || fail "ExecStart"
if command -v systemd-analyze >/dev/null 2>&1; then
    said=$(systemd-analyze verify /usr/lib/systemd/system/kovo_sio_client.service 2>&1) || fail "verify: $said"
    [ -z "$said" ] || fail "verify: $said"
fi
/usr/bin/kovo_sio_client --help >/dev/null || fail "installed daemon does not run"

$SUDO dpkg -r kovo-sio-client
[ ! -e /usr/bin/kovo_sio_client ] || fail "daemon left after dpkg -r"
[ -e /etc/kovo_sio_client/config.json ] || fail "dpkg -r removed the configuration"
$SUDO dpkg -P kovo-sio-client
[ ! -e /etc/kovo_sio_client ] || fail "configuration left after purge"
echo "deb-check: OK"
