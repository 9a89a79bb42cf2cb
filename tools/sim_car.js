#!/usr/bin/env node
// Simulated car server: a socket.io 2.x server (Engine.IO revision 3) that
// plays the car for kovo_sio_client. It logs each connection with its query,
// sends missions and reboot questions, and prints every event the UAV sends
// (realtime status, mission status, reboot answers) as one JSON line each.
// Control commands arrive as JSON lines on standard input (see HELP below).
'use strict';

const fs = require('fs');
const http = require('http');
const { parseArgs, intOption, emit, readJsonLines, listen } = require('./lib/sim_peer_io');

const HELP = `Usage: node tools/sim_car.js [options]
  --port N                 listen port on 127.0.0.1 (0 = pick a free one; default 0)
  --version V              socket.io server: 2.5.1 (default) or 2.4.1
  --ping-interval MS       engine.io pingInterval (default: the version's)
  --ping-timeout MS        engine.io pingTimeout (default: the version's)
  --max-http-buffer-size N largest message the server accepts, bytes
  --reject TEXT            refuse every connection to "/" with this error text
  --mission-file PATH      mission payload (JSON file); otherwise built from:
    --heights LIST         point heights, e.g. 1.5,3,4.5 (default 1.5,3)
    --history-id ID        carFlightMissionHistoryId (default hist-<n>, n counts missions)
    --mission-id ID        carMissionId (default mission-<n>)
    --strategy-id ID       carStrategyId (default "12")
    --point-id ID          carPointId (default "7")
    --action-id ID         carActionId (default "3")
    --warehouse LIST       warehouse numbers, e.g. A1,A2 (default A1)
    --upload-url URL       uploadMediaDataUrl (default empty)
    --battery-limit N      batteryLimit (default "20")
  --mission-as FORM        object (default) or string: a JSON text argument
  --mission-after MS       send a mission MS after the first connection
  --mission-every MS       then send one every MS
  --reboot-after MS        ask the reboot question MS after the first connection
  --reboot-every MS        then ask every MS
  --event-mission NAME     default car_uav_begin_mission
  --event-reboot NAME      default car_uav_can_reboot_uav
  --quiet-realtime         do not print uav_realtime_status events
  --keep-running           keep running when standard input closes (background
                           use, e.g. with stdin from /dev/null); stop with SIGTERM
  --help
stdin commands (one JSON object per line):
  {"cmd":"mission"[,"as":"object"|"string"][,"payload":ANY]}
  {"cmd":"reboot"[,"payload":ANY]}
  {"cmd":"emit","event":NAME,"args":[...][,"ack":true][,"as_string":true]}
  {"cmd":"binary","event":NAME[,"bytes":[1,2,3]][,"nested":true]}
  {"cmd":"large","event":NAME,"bytes":N}
  {"cmd":"error","data":ANY}                   ERROR packet (44)
  {"cmd":"disconnect"[,"close":true]}          socket.disconnect(close)
  {"cmd":"close_transport"}                    close the WebSocket, no 41
  {"cmd":"raw","text":FRAME} | {"cmd":"raw","base64":B64}   raw WebSocket frame
  {"cmd":"pings","answer":false|true}          stop / resume answering pings
  {"cmd":"stop"}                               exit`;

const VALUED = [
  'port', 'version', 'ping-interval', 'ping-timeout', 'max-http-buffer-size', 'reject', 'mission-file',
  'heights', 'history-id', 'mission-id', 'strategy-id', 'point-id', 'action-id', 'warehouse', 'upload-url',
  'battery-limit', 'mission-as', 'mission-after', 'mission-every', 'reboot-after', 'reboot-every',
  'event-mission', 'event-reboot',
];
const opts = parseArgs(process.argv.slice(2), ['quiet-realtime', 'keep-running'], HELP, VALUED);

const VERSIONS = { '2.5.1': 'socket.io', '2.4.1': 'socket.io-241' };
const version = opts.version || '2.5.1';
if (!VERSIONS[version]) {
  process.stderr.write(`unknown --version ${version} (2.5.1 or 2.4.1)\n`);
  process.exit(2);
}
const ioFactory = require(VERSIONS[version]);

const missionEvent = opts['event-mission'] || 'car_uav_begin_mission';
const rebootEvent = opts['event-reboot'] || 'car_uav_can_reboot_uav';

// Buffers print compactly, as {"binary":"<hex>"}.
function print(obj) {
  emit(obj, (k, v) => (v && v.type === 'Buffer' && Array.isArray(v.data)
    ? { binary: Buffer.from(v.data).toString('hex') } : v));
}

const intOpt = (name) => intOption(opts, name, undefined, 0);

let missionCount = 0;

function builtMission() {
  missionCount += 1;
  const heights = (opts.heights || '1.5,3').split(',').filter((h) => h !== '');
  const warehouses = (opts.warehouse || 'A1').split(',').filter((w) => w !== '');
  return {
    carX: '10.5',
    carY: '-3.25',
    carYaw: '90',
    carStrategyId: opts['strategy-id'] || '12',
    carPointId: opts['point-id'] || '7',
    carActionId: opts['action-id'] || '3',
    carFlightMissionHistoryId: opts['history-id'] || `hist-${missionCount}`,
    carMissionId: opts['mission-id'] || `mission-${missionCount}`,
    warehouseNum: warehouses,
    batteryLimit: opts['battery-limit'] || '20',
    uploadMediaDataUrl: opts['upload-url'] || '',
    isBeforeTakeoffPhoto: '0',
    carFlightPointList: heights.map((z, i) => ({
      id: String(i + 1),
      z,
      warehousePositionNum: `${warehouses[i % warehouses.length]}-${i + 1}`,
    })),
  };
}

// The file is read at every send, so it can be edited while the car runs.
function missionPayload() {
  if (opts['mission-file']) return JSON.parse(fs.readFileSync(opts['mission-file'], 'utf8'));
  return builtMission();
}

if (opts['mission-file']) {
  try {
    missionPayload();
  } catch (e) {
    process.stderr.write(`--mission-file: ${e.message}\n`);
    process.exit(2);
  }
}
if (opts['mission-as'] !== undefined && !['object', 'string'].includes(opts['mission-as'])) {
  process.stderr.write('--mission-as must be object or string\n');
  process.exit(2);
}

const serverOpts = { transports: ['websocket', 'polling'] };
if (intOpt('ping-interval') !== undefined) serverOpts.pingInterval = intOpt('ping-interval');
if (intOpt('ping-timeout') !== undefined) serverOpts.pingTimeout = intOpt('ping-timeout');
if (intOpt('max-http-buffer-size') !== undefined) serverOpts.maxHttpBufferSize = intOpt('max-http-buffer-size');

const httpServer = http.createServer();
const io = ioFactory(httpServer, serverOpts);
let answerPings = true;

if (opts.reject !== undefined) {
  io.use((socket, next) => next(new Error(opts.reject)));
}

function sockets() {
  return Object.values(io.of('/').connected);
}

// Every emit goes to all connected sockets (normally one: the UAV).
function emitAll(event, args, extra = {}) {
  for (const s of sockets()) {
    if (extra.ack) {
      s.emit(event, ...args, (...ackArgs) => print({ event: 'ack', name: event, id: s.id, args: ackArgs }));
    } else {
      s.emit(event, ...args);
    }
  }
  print({ event: 'sent', name: event, argc: args.length, clients: sockets().length, ...extra.info });
}

function sendMission(form, payload) {
  const p = payload !== undefined ? payload : missionPayload();
  const asString = (form || opts['mission-as'] || 'object') === 'string';
  emitAll(missionEvent, [asString ? JSON.stringify(p) : p], { info: { form: asString ? 'string' : 'object', payload: p } });
}

function sendReboot(payload) {
  emitAll(rebootEvent, [payload !== undefined ? payload : { time: Date.now() }]);
}

// The raw WebSocket (ws) under a socket.io connection.
function rawSockets() {
  return sockets().map((s) => s.conn.transport && s.conn.transport.socket).filter(Boolean);
}

function tryParse(v) {
  if (typeof v !== 'string') return undefined;
  try {
    return JSON.parse(v);
  } catch (e) {
    return undefined;
  }
}

let firstConnection = true;
const timers = [];

function schedule(afterName, everyName, fn) {
  const after = intOpt(afterName);
  const every = intOpt(everyName);
  if (after === undefined && every === undefined) return;
  const guarded = () => {
    try {
      fn();
    } catch (e) {
      print({ event: 'error', message: e.message });
    }
  };
  timers.push(setTimeout(() => {
    guarded();
    if (every) timers.push(setInterval(guarded, every));
  }, after !== undefined ? after : every));
}

io.on('connection', (socket) => {
  const q = socket.handshake.query || {};
  print({
    event: 'connection',
    id: socket.id,
    accessKey: q.accessKey,
    clientType: q.clientType,
    query: q,
    transport: socket.conn.transport && socket.conn.transport.name,
  });

  // Pongs are engine.io packets; dropping them simulates a server that
  // stopped answering without stopping the process.
  const conn = socket.conn;
  const sendPacket = conn.sendPacket.bind(conn);
  conn.sendPacket = (type, ...rest) => {
    if (type === 'pong' && !answerPings) return;
    sendPacket(type, ...rest);
  };

  socket.use((packet, next) => {
    const [name, ...args] = packet;
    if (!(opts['quiet-realtime'] && name === 'uav_realtime_status')) {
      const line = { event: 'received', name, id: socket.id, argc: args.length, args };
      const parsed = tryParse(args[0]);
      if (parsed !== undefined) line.payload = parsed;
      print(line);
    }
    next();
  });

  socket.on('disconnect', (reason) => print({ event: 'disconnect', id: socket.id, reason }));
  socket.on('error', (err) => print({ event: 'socket_error', id: socket.id, message: String(err && err.message) }));

  if (firstConnection) {
    firstConnection = false;
    schedule('mission-after', 'mission-every', () => sendMission());
    schedule('reboot-after', 'reboot-every', () => sendReboot());
  }
});

function handleCommand(c) {
  switch (c.cmd) {
    case 'mission':
      sendMission(c.as, c.payload);
      break;
    case 'reboot':
      sendReboot(c.payload);
      break;
    case 'emit': {
      const args = c.as_string ? (c.args || []).map((a) => JSON.stringify(a)) : (c.args || []);
      emitAll(c.event, args, { ack: !!c.ack });
      break;
    }
    case 'binary': {
      const buf = Buffer.from(c.bytes || [1, 2, 3]);
      const arg = c.nested ? { label: 'photo', parts: [1, { data: buf }], more: buf } : buf;
      emitAll(c.event, [arg], { info: { binary: true } });
      break;
    }
    case 'large': {
      // A string of multi-byte characters as well as ASCII, so that a frame
      // split between fragments can cut a UTF-8 sequence.
      const n = c.bytes || 2000000;
      const text = 'é'.repeat(Math.floor(n / 4)) + 'x'.repeat(n - 2 * Math.floor(n / 4));
      emitAll(c.event, [{ text }], { info: { bytes: Buffer.byteLength(text) } });
      break;
    }
    case 'error':
      for (const s of sockets()) s.error(c.data);
      print({ event: 'sent', name: 'error', clients: sockets().length });
      break;
    case 'disconnect':
      for (const s of sockets()) s.disconnect(!!c.close);
      print({ event: 'sent', name: 'disconnect', close: !!c.close });
      break;
    case 'close_transport':
      for (const s of sockets()) s.conn.close();
      print({ event: 'sent', name: 'close_transport' });
      break;
    case 'raw': {
      const data = c.base64 !== undefined ? Buffer.from(c.base64, 'base64') : String(c.text);
      const raws = rawSockets();
      for (const ws of raws) ws.send(data);
      print({ event: 'sent', name: 'raw', clients: raws.length });
      break;
    }
    case 'pings':
      answerPings = c.answer !== false;
      print({ event: 'pings', answer: answerPings });
      break;
    case 'stop':
      shutdown();
      break;
    default:
      print({ event: 'bad_command', command: c });
  }
}

const commands = readJsonLines((c) => {
  try {
    handleCommand(c);
  } catch (e) {
    print({ event: 'command_failed', command: c, error: e.message });
  }
}, (line, e) => print({ event: 'bad_command', text: line, error: e.message }));
// A test that dies leaves no car behind: its pipe closes.
commands.on('close', () => {
  if (!opts['keep-running']) shutdown();
});

let stopping = false;
function shutdown() {
  if (stopping) return;
  stopping = true;
  for (const t of timers) clearTimeout(t);
  io.close();
  // Connected sockets may keep the loop alive a moment; do not wait for them.
  setTimeout(() => process.exit(0), 200).unref();
}
process.on('SIGTERM', shutdown);
process.on('SIGINT', shutdown);

listen(httpServer, intOpt('port') || 0, {
  version,
  pingInterval: io.eio.pingInterval,
  pingTimeout: io.eio.pingTimeout,
  maxHttpBufferSize: io.eio.maxHttpBufferSize,
});
