#!/usr/bin/env node
// Simulated px4ctrl: the WebSocket server of the flight-control daemon as
// kovo_sio_client sees it. Accepts the sub-protocol, checks the login
// password and answers {"cmd":42,"ret":0|1}, answers each state request with
// one push {"cmd":1,"ret":0,"state":{...}}, and flies a mission on a
// "kovo h1,h2,..." command. Faults (drops, refused logins, garbage, malformed
// or oversized messages, fragmented messages) are scripted through options and
// JSON-line commands on standard input. One JSON line per event on standard
// output, each with "t", the milliseconds since start.
'use strict';

const http = require('http');
const crypto = require('crypto');
const { WebSocketServer } = require('ws');
const { parseArgs, intOption, emit, onCommands, listen, exitOnSignals } = require('./lib/sim_peer_io');
const { Vehicle, parseMissionCommand } = require('./lib/px4ctrl_vehicle');

const HELP = `Usage: node tools/sim_px4ctrl.js [options]
  --port N            listen port on 127.0.0.1 (0 = pick a free one; default 0)
  --protocol NAME     WebSocket sub-protocol accepted (default http)
  --password TEXT     login password (default quenlarf; "" for none)
  --login-cmd TEXT    text that begins a login (default login)
  --state-cmd TEXT    text of a state request (default state)
  --kovo-prefix TEXT  word that begins a mission command (default kovo)
  --phase-ms N        duration of every mission phase (default 1500)
  --takeoff-ms N, --goto-ms N, --hover-ms N, --land-ms N
                      duration of one phase (default --phase-ms)
  --photos KIND       photo records per height: local, siyi or both (default local)
  --task-parent DIR   where mission task directories are made (default /tmp/sim_px4ctrl)
  --report-task-dir D report D as the task directory, e.g. an unwritable or full
                      one (photos are still written in the one made)
  --before-count N    photos taken before take-off, reported as beforecount (default 0)
  --fs N              initial state code (default 2, standby)
  --push MODE         reply (one push per state request, default) or none
  --push-every-ms N   also push to every logged-in client every N ms (0: off, default)
  --refuse-logins N   refuse the next N logins (-1: every login; default 0)
  --big-state         start with 20 photo records of an earlier mission (~1 KB document)
  --log-requests      print a state_request event for every state request
  --help
stdin commands (one JSON object per line; each is acknowledged by a "command" event):
  {"cmd":"drop"}                      cut every connection (no close frame)
  {"cmd":"close"[,"code":N]}          close every connection cleanly
  {"cmd":"refuse_login","count":N}    refuse the next N logins (-1: all, 0: none)
  {"cmd":"reject_upgrades","on":B}    answer WebSocket upgrades with 503 while on
  {"cmd":"push_mode","mode":M}        reply or none
  {"cmd":"push_every","ms":N}         timed pushes every N ms (0: off)
  {"cmd":"push"}                      one state push now to every logged-in client
  {"cmd":"send","text":T}             text frame T to every client
  {"cmd":"garbage"}                   a text frame of random bytes (not UTF-8, first byte 0xff)
  {"cmd":"non_json"}                  a text frame that is not JSON
  {"cmd":"malformed"}                 a cut-off JSON state push
  {"cmd":"large","bytes":N,"parts":K} a valid state push of about N bytes
                                      (default 200000) in K fragments (default 4)
  {"cmd":"huge","bytes":N}            a valid state push of N bytes (default 1.5 MiB)
  {"cmd":"set",FIELD:VALUE,...}       override fs, sub_state, height_idx, online, task_dir
  {"cmd":"stats"}                     counts of connections, logins, requests, pushes
  {"cmd":"sample"}                    the text of the current state push
  {"cmd":"stop"}                      exit`;

const opts = parseArgs(process.argv.slice(2), ['big-state', 'log-requests'], HELP);
const started = process.hrtime.bigint();
const since = () => Number((process.hrtime.bigint() - started) / 100000n) / 10;
const event = (e) => emit({ ...e, t: since() });

const protocol = opts.protocol !== undefined ? opts.protocol : 'http';
const password = opts.password !== undefined ? opts.password : 'quenlarf';
const loginCmd = opts['login-cmd'] || 'login';
const stateCmd = opts['state-cmd'] || 'state';
const kovoPrefix = opts['kovo-prefix'] || 'kovo';
const phaseMs = intOption(opts, 'phase-ms', 1500);
const photoKind = opts.photos || 'local';
if (!['local', 'siyi', 'both'].includes(photoKind)) {
  process.stderr.write(`--photos must be local, siyi or both\n${HELP}\n`);
  process.exit(2);
}
let pushMode = opts.push || 'reply';
let refuseLogins = intOption(opts, 'refuse-logins', 0);
let pushTimer = null;
let rejectUpgrades = false;
const counts = { connections: 0, logins: 0, state_requests: 0, pushes: 0 };

const vehicle = new Vehicle({
  phases: {
    takeoff: intOption(opts, 'takeoff-ms', phaseMs),
    goto: intOption(opts, 'goto-ms', phaseMs),
    hover: intOption(opts, 'hover-ms', phaseMs),
    land: intOption(opts, 'land-ms', phaseMs),
  },
  photoKind,
  taskParent: opts['task-parent'] || '/tmp/sim_px4ctrl',
  reportTaskDir: opts['report-task-dir'],
  beforeCount: intOption(opts, 'before-count', 0),
  fs: intOption(opts, 'fs', 2),
  bigState: Boolean(opts['big-state']),
  onEvent: event,
});

const clients = new Map(); // ws -> {id, loggedIn}

// A state push; with pad, the state document gets a "pad" member of that many
// characters, so that a test can tell the padded push from the others.
function pushText(pad) {
  const state = vehicle.stateText();
  if (pad === undefined) return `{"cmd":1,"ret":0,"state":${state}}`;
  return `{"cmd":1,"ret":0,"state":{"pad":"${'x'.repeat(pad)}",${state.slice(1)}}`;
}

// A valid push of `bytes` bytes.
function paddedPush(bytes) {
  return pushText(Math.max(bytes - pushText().length - 9, 0));
}

function sendPush(ws) {
  counts.pushes += 1;
  ws.send(pushText());
}

// Pushes on a timer, as a px4ctrl that streams its state at a fixed rate.
function pushEvery(ms) {
  if (pushTimer) clearInterval(pushTimer);
  pushTimer = ms > 0 ? setInterval(() => toAll((ws) => clients.get(ws).loggedIn && sendPush(ws)), ms) : null;
  return ms > 0 ? ms : 0;
}

function onLogin(ws, client, given) {
  counts.logins += 1;
  let ok = given === password;
  let reason = ok ? undefined : 'wrong password';
  if (ok && refuseLogins !== 0) {
    ok = false;
    reason = 'refused';
    if (refuseLogins > 0) refuseLogins -= 1;
  }
  client.loggedIn = ok;
  event({ event: 'login', id: client.id, ok, password: given, ...(reason ? { reason } : {}) });
  ws.send(JSON.stringify({ cmd: 42, ret: ok ? 0 : 1 }));
}

function onText(ws, client, text) {
  if (text.startsWith(loginCmd)) {
    onLogin(ws, client, text.slice(loginCmd.length));
  } else if (text === stateCmd) {
    counts.state_requests += 1;
    if (opts['log-requests']) event({ event: 'state_request', id: client.id, logged_in: client.loggedIn });
    if (client.loggedIn && pushMode === 'reply') sendPush(ws);
  } else if (text.startsWith(`${kovoPrefix} `)) {
    const heights = parseMissionCommand(text, kovoPrefix);
    let result;
    if (!client.loggedIn) result = { ok: false, reason: 'not logged in' };
    else if (!heights) result = { ok: false, reason: 'malformed height list' };
    else result = vehicle.startMission(heights);
    event({ event: 'kovo_command', id: client.id, text, accepted: result.ok,
      ...(result.reason ? { reason: result.reason } : {}) });
  } else {
    event({ event: 'text', id: client.id, text });
  }
}

const server = http.createServer((req, res) => {
  res.writeHead(426, { 'Content-Type': 'text/plain' });
  res.end('WebSocket only\n');
});
const wss = new WebSocketServer({
  noServer: true,
  handleProtocols: (offered) => (offered.has(protocol) ? protocol : false),
});

server.on('upgrade', (req, socket, head) => {
  if (rejectUpgrades) {
    event({ event: 'upgrade_rejected' });
    socket.end('HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Length: 0\r\n\r\n');
    return;
  }
  wss.handleUpgrade(req, socket, head, (ws) => wss.emit('connection', ws, req));
});

wss.on('connection', (ws, req) => {
  counts.connections += 1;
  const client = { id: counts.connections, loggedIn: false };
  clients.set(ws, client);
  event({ event: 'connection', id: client.id, path: req.url, protocol: ws.protocol,
    offered: req.headers['sec-websocket-protocol'] || '' });
  ws.on('message', (data, isBinary) => onText(ws, client, isBinary ? data.toString('latin1') : data.toString()));
  ws.on('close', (code) => {
    clients.delete(ws);
    event({ event: 'disconnect', id: client.id, code });
  });
  ws.on('error', (e) => event({ event: 'socket_error', id: client.id, error: e.message }));
});

function toAll(send) {
  for (const ws of clients.keys()) send(ws);
  return { clients: clients.size };
}

// Sends text in `parts` fragments of one message.
function sendFragmented(ws, text, parts) {
  const bytes = Buffer.from(text);
  const size = Math.ceil(bytes.length / parts);
  for (let i = 0; i < parts; i++) {
    ws.send(bytes.subarray(i * size, Math.min((i + 1) * size, bytes.length)),
      { binary: false, fin: i === parts - 1 });
  }
}

const SETTABLE = ['fs', 'sub_state', 'height_idx', 'online', 'task_dir'];

onCommands((cmd) => {
  switch (cmd.cmd) {
    case 'drop':
      return toAll((ws) => ws.terminate());
    case 'close':
      return toAll((ws) => ws.close(cmd.code || 1000));
    case 'refuse_login':
      refuseLogins = Number.isInteger(cmd.count) ? cmd.count : -1;
      return { count: refuseLogins };
    case 'reject_upgrades':
      rejectUpgrades = cmd.on !== false;
      return { on: rejectUpgrades };
    case 'push_mode':
      if (!['reply', 'none'].includes(cmd.mode)) throw new Error('mode must be reply or none');
      pushMode = cmd.mode;
      return { mode: pushMode };
    case 'push_every':
      if (!Number.isInteger(cmd.ms) || cmd.ms < 0) throw new Error('ms must be a whole number');
      return { ms: pushEvery(cmd.ms) };
    case 'push':
      return toAll((ws) => clients.get(ws).loggedIn && sendPush(ws));
    case 'send':
      if (typeof cmd.text !== 'string') throw new Error('text must be a string');
      return toAll((ws) => ws.send(cmd.text));
    case 'garbage': {
      // Random bytes, never beginning with "{".
      const bytes = crypto.randomBytes(64);
      bytes[0] = 0xff;
      return toAll((ws) => ws.send(bytes, { binary: false }));
    }
    case 'non_json':
      return toAll((ws) => ws.send('px4ctrl says hello'));
    case 'malformed':
      return toAll((ws) => ws.send(pushText().slice(0, 40)));
    case 'large': {
      const text = paddedPush(cmd.bytes || 200000);
      const parts = cmd.parts || 4;
      return { bytes: text.length, parts, ...toAll((ws) => sendFragmented(ws, text, parts)) };
    }
    case 'huge': {
      const text = paddedPush(cmd.bytes || 1572864);
      return { bytes: text.length, ...toAll((ws) => ws.send(text)) };
    }
    case 'set': {
      const fields = {};
      for (const key of SETTABLE) if (cmd[key] !== undefined) fields[key] = cmd[key];
      vehicle.override(fields);
      return { fields };
    }
    case 'stats':
      return { ...counts, clients: clients.size };
    case 'sample':
      return { text: pushText() };
    case 'stop':
      setImmediate(() => process.exit(0));
      return {};
    default:
      throw new Error(`unknown command ${cmd.cmd}`);
  }
});

pushEvery(intOption(opts, 'push-every-ms', 0, 0));
exitOnSignals(() => vehicle.stop());
listen(server, intOption(opts, 'port', 0));
