#!/usr/bin/env node
// Simulated SIYI gimbal camera: an HTTP server that serves the pictures of
// its photo folders at /photo/<dir>/IMG_<number>.jpg (number zero-padded to
// at least four digits). Each picture is a small JPEG-like byte string,
// always the same for the same number. A picture can be made missing (404
// with a body), answer an error status, hang or break off half-way. Every
// request is printed as one JSON line; control commands arrive as JSON lines
// on standard input.
'use strict';

const crypto = require('crypto');
const http = require('http');
const { parseArgs, intOption, emit, onCommands, listen, exitOnSignals } = require('./lib/sim_peer_io');

const HELP = `Usage: node tools/sim_camera.js [options]
  --port N        listen port on 127.0.0.1 (0 = pick a free one; default 0)
  --missing LIST  picture numbers that answer 404, e.g. 2,5
  --help
stdin commands (one JSON object per line; each is acknowledged by a "command" event):
  {"cmd":"ok"|"missing"|"error"|"hang"|"truncate"[,"number":N][,"status":S]}
      behaviour of picture N, or of every picture without a rule of its own
      when number is absent; error answers status S (default 500), truncate
      announces the whole picture and sends half of it
  {"cmd":"reset"}     every picture served again
  {"cmd":"stop"}      exit`;

const BEHAVIOURS = ['ok', 'missing', 'error', 'hang', 'truncate'];
const PICTURE_PATH = /^\/photo\/[^/]+\/IMG_(\d{4,})\.jpg$/;

const opts = parseArgs(process.argv.slice(2), [], HELP);
const rules = new Map();
let everyPicture = null;
for (const n of (opts.missing || '').split(',').filter((s) => s !== '')) {
  if (!/^\d+$/.test(n)) {
    process.stderr.write(`--missing needs picture numbers, got ${n}\n`);
    process.exit(2);
  }
  rules.set(Number(n), { behaviour: 'missing' });
}

// SOI and a JFIF header, 512 to 1535 bytes from a generator seeded with the
// number, then EOI.
function picture(number) {
  const header = Buffer.from([0xff, 0xd8, 0xff, 0xe0, 0x00, 0x10, 0x4a, 0x46, 0x49, 0x46, 0x00,
    0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00]);
  const body = Buffer.alloc(512 + ((number * 97) % 1024));
  let x = (number * 2654435761 + 1) >>> 0 || 1;
  for (let i = 0; i < body.length; i++) {
    x ^= x << 13;
    x >>>= 0;
    x ^= x >>> 17;
    x ^= x << 5;
    x >>>= 0;
    body[i] = x & 0xff;
  }
  return Buffer.concat([header, body, Buffer.from([0xff, 0xd9])]);
}

function sha1(buffer) {
  return crypto.createHash('sha1').update(buffer).digest('hex');
}

function send(res, status, type, body) {
  res.writeHead(status, { 'Content-Type': type, 'Content-Length': body.length });
  res.end(body);
}

const server = http.createServer((req, res) => {
  const path = new URL(req.url, 'http://127.0.0.1').pathname;
  const record = { event: 'request', method: req.method, path };
  const match = PICTURE_PATH.exec(path);
  if (!match) {
    send(res, 404, 'text/plain', Buffer.from('not found\n'));
    emit({ ...record, behaviour: 'unknown_path', status: 404 });
    return;
  }
  const number = Number(match[1]);
  const rule = rules.get(number) || everyPicture || { behaviour: 'ok' };
  const image = picture(number);
  record.number = number;
  record.behaviour = rule.behaviour;
  switch (rule.behaviour) {
    case 'missing': {
      const body = Buffer.from(JSON.stringify({ code: 404, msg: `IMG_${match[1]}.jpg not found` }));
      send(res, 404, 'application/json', body);
      emit({ ...record, status: 404, size: body.length });
      break;
    }
    case 'error': {
      const status = rule.status || 500;
      const body = Buffer.from('camera error\n');
      send(res, status, 'text/plain', body);
      emit({ ...record, status, size: body.length });
      break;
    }
    case 'hang':
      emit(record);
      break;
    case 'truncate': {
      const half = image.subarray(0, image.length >> 1);
      res.writeHead(200, { 'Content-Type': 'image/jpeg', 'Content-Length': image.length });
      res.write(half, () => res.destroy());
      emit({ ...record, status: 200, size: half.length, announced: image.length });
      break;
    }
    default:
      send(res, 200, 'image/jpeg', image);
      emit({ ...record, status: 200, size: image.length, sha1: sha1(image) });
  }
});

onCommands((cmd) => {
  if (cmd.cmd === 'reset') {
    rules.clear();
    everyPicture = null;
    return {};
  }
  if (cmd.cmd === 'stop') {
    setImmediate(() => process.kill(process.pid, 'SIGTERM'));
    return {};
  }
  if (!BEHAVIOURS.includes(cmd.cmd)) throw new Error('unknown command');
  if (cmd.status !== undefined && (!Number.isInteger(cmd.status) || cmd.status < 100 || cmd.status > 999)) {
    throw new Error('status must be 100..999');
  }
  const rule = { behaviour: cmd.cmd, status: cmd.status };
  if (cmd.number === undefined) {
    everyPicture = rule;
  } else if (Number.isInteger(cmd.number) && cmd.number >= 0) {
    rules.set(cmd.number, rule);
  } else {
    throw new Error('number must be a whole number >= 0');
  }
  return { number: cmd.number, status: cmd.status };
});

exitOnSignals();
listen(server, intOption(opts, 'port', 0));
