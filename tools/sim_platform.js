#!/usr/bin/env node
// Simulated operator platform: an HTTP server that takes the multipart photo
// and log uploads (any path) and plain POSTs, and prints what it received as
// one JSON line per request; optionally an MQTT client that prints every
// report published on the platform's request topic and can answer on the
// response topic. Control commands arrive as JSON lines on standard input.
'use strict';

const crypto = require('crypto');
const http = require('http');
const net = require('net');
const busboy = require('busboy');
const { parseArgs, intOption, emit, onCommands, listen, exitOnSignals } = require('./lib/sim_peer_io');

const HELP = `Usage: node tools/sim_platform.js [options]
  --port N               HTTP listen port on 127.0.0.1 (0 = pick a free one; default 0)
  --mode MODE            ok (default), error (answer --status) or hang (never answer)
  --status N             status of the error mode (default 500)
  --delay-ms N           answer each request N ms after its body arrived (default 0)
  --mqtt-url URL         also connect to this MQTT broker, e.g. mqtt://127.0.0.1:1883
  --request-topic T      topic of the daemon's reports (default /api/carUavModule/indoorPlatform/cmd/request)
  --response-topic T     topic of the answers (default /api/carUavModule/indoorPlatform/cmd/response)
  --auto-respond         answer every report on the response topic
  --mqtt-proxy-port N    also relay MQTT from this port (0 = pick one) to the broker of --mqtt-url; the daemon
                         pointed at it can lose the broker while this peer stays subscribed
  --help
signals: SIGUSR1 takes the broker away from the relay / brings it back; SIGUSR2 makes the HTTP platform
answer the error status / answer 200 again
stdin commands (one JSON object per line; each is acknowledged by a "command" event):
  {"cmd":"mode","mode":"ok"|"error"|"hang"[,"status":N]}
  {"cmd":"delay","ms":N}
  {"cmd":"release"}                       answer the hanging requests now (200)
  {"cmd":"auto_respond","on":true|false}
  {"cmd":"mqtt_publish","payload":TEXT[,"topic":T]}   publish on the response topic
  {"cmd":"broker","up":true|false}        relay or cut the MQTT connections of --mqtt-proxy-port
  {"cmd":"stop"}                          exit`;

const BODY_TEXT_LIMIT = 64 * 1024;

const opts = parseArgs(process.argv.slice(2), ['auto-respond'], HELP);
const state = {
  mode: opts.mode || 'ok',
  errorStatus: intOption(opts, 'status', 500),
  delayMs: intOption(opts, 'delay-ms', 0),
  autoRespond: Boolean(opts['auto-respond']),
};
const requestTopic = opts['request-topic'] || '/api/carUavModule/indoorPlatform/cmd/request';
const responseTopic = opts['response-topic'] || '/api/carUavModule/indoorPlatform/cmd/response';
const MODES = ['ok', 'error', 'hang'];
if (!MODES.includes(state.mode)) {
  process.stderr.write(`--mode must be one of ${MODES.join(', ')}\n`);
  process.exit(2);
}

let requestCount = 0;
let inflight = 0;
const hanging = new Set();

// Reads a multipart body part by part, in body order.
function readMultipart(req, done) {
  const parts = [];
  let bb;
  try {
    bb = busboy({ headers: req.headers });
  } catch (e) {
    done(e, { parts });
    return;
  }
  bb.on('file', (name, stream, info) => {
    const part = { name, filename: info.filename, mime_type: info.mimeType, size: 0 };
    const hash = crypto.createHash('sha1');
    parts.push(part);
    stream.on('data', (chunk) => {
      part.size += chunk.length;
      hash.update(chunk);
    });
    stream.on('end', () => {
      part.sha1 = hash.digest('hex');
    });
  });
  bb.on('field', (name, value, info) => {
    parts.push({ name, value, truncated: info.valueTruncated || undefined });
  });
  bb.on('close', () => done(null, { parts }));
  bb.on('error', (e) => done(e, { parts }));
  req.pipe(bb);
}

// Reads any other body as text (the first 64 KiB of it).
function readPlain(req, done) {
  const chunks = [];
  let size = 0;
  req.on('data', (chunk) => {
    if (size < BODY_TEXT_LIMIT) chunks.push(chunk.subarray(0, BODY_TEXT_LIMIT - size));
    size += chunk.length;
  });
  req.on('end', () => done(null, { body: Buffer.concat(chunks).toString('utf8'), body_size: size }));
  req.on('error', (e) => done(e, { body_size: size }));
}

function answer(res, status, body) {
  const text = JSON.stringify(body);
  res.writeHead(status, { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(text) });
  res.end(text);
}

const server = http.createServer((req, res) => {
  const id = ++requestCount;
  inflight++;
  let open = true;
  const finished = () => {
    if (open) {
      open = false;
      inflight--;
      hanging.delete(res);
    }
  };
  res.on('finish', finished);
  res.on('close', finished);
  const url = new URL(req.url, 'http://127.0.0.1');
  const record = {
    event: 'request',
    id,
    method: req.method,
    path: url.pathname,
    query: url.search.length > 1 ? url.search.slice(1) : undefined,
    content_type: req.headers['content-type'],
    inflight,
  };
  // The behaviour in force when the request arrived decides its answer.
  const { mode, errorStatus, delayMs } = state;
  const multipart = /^multipart\/form-data/i.test(req.headers['content-type'] || '');
  let bodyRead = false;
  const onBody = (err, received) => {
    if (bodyRead) return;
    bodyRead = true;
    Object.assign(record, received);
    if (err) record.error = err.message;
    if (!open || req.aborted) {
      emit({ ...record, answer: 'aborted' });
      return;
    }
    if (mode === 'hang') {
      hanging.add(res);
      emit({ ...record, answer: 'hang' });
      return;
    }
    setTimeout(() => {
      if (!open) {
        emit({ ...record, answer: 'aborted' });
        return;
      }
      const status = mode === 'error' ? errorStatus : 200;
      const body = status === 200 ? { code: 200, msg: 'success', data: { id } } : { code: status, msg: 'simulated failure' };
      answer(res, status, body);
      emit({ ...record, answer: 'status', status });
    }, delayMs);
  };
  // A client that gives up half-way may leave the body parser waiting.
  req.on('close', () => {
    if (!req.complete) onBody(new Error('request aborted'), {});
  });
  (multipart ? readMultipart : readPlain)(req, onBody);
});

let mqttClient = null;
if (opts['mqtt-url']) {
  const mqtt = require('mqtt');
  let connected = false;
  mqttClient = mqtt.connect(opts['mqtt-url'], {
    clientId: `sim_platform_${process.pid}`,
    clean: true,
    reconnectPeriod: 1000,
    connectTimeout: 5000,
    // The 'connect' handler subscribes each time. mqtt.js's own resubscription
    // would make that call answer at once, before the broker acknowledged
    // anything, and 'mqtt_subscribed' would come too early.
    resubscribe: false,
  });
  mqttClient.on('connect', () => {
    connected = true;
    mqttClient.subscribe(requestTopic, { qos: 1 }, (e) => {
      if (e) emit({ event: 'mqtt_error', error: e.message });
      else emit({ event: 'mqtt_subscribed', topic: requestTopic });
    });
  });
  mqttClient.on('close', () => {
    // Reconnection attempts close again every second: report the loss once.
    if (connected) emit({ event: 'mqtt_disconnected' });
    connected = false;
  });
  mqttClient.on('error', (e) => emit({ event: 'mqtt_error', error: e.message }));
  mqttClient.on('message', (topic, payload) => {
    const text = payload.toString('utf8');
    let report = null;
    try {
      report = JSON.parse(text);
    } catch (e) {
      report = null;
    }
    emit({ event: 'mqtt_report', topic, size: payload.length, report, payload: report === null ? text : undefined });
    if (state.autoRespond) {
      const reply = { code: 200, msg: 'success' };
      if (report && typeof report === 'object') {
        reply.platformCmd = report.platformCmd;
        reply.platformCmdID = report.platformCmdID;
      }
      publishResponse(JSON.stringify(reply), responseTopic);
    }
  });
}

// The broker as the daemon sees it: a TCP relay that can be cut.
const relay = { up: true, sockets: new Set() };
function setBrokerUp(up) {
  relay.up = up;
  if (!up) for (const socket of relay.sockets) socket.destroy();
  emit({ event: 'broker', up });
}
if (opts['mqtt-proxy-port'] !== undefined) {
  const target = new URL(opts['mqtt-url']);
  const proxy = net.createServer((client) => {
    if (!relay.up) return client.destroy();
    const upstream = net.connect(Number(target.port || 1883), target.hostname);
    for (const [a, b] of [[client, upstream], [upstream, client]]) {
      relay.sockets.add(a);
      a.pipe(b);
      a.on('error', () => b.destroy());
      a.on('close', () => {
        relay.sockets.delete(a);
        b.destroy();
      });
    }
  });
  proxy.listen(intOption(opts, 'mqtt-proxy-port', 0), '127.0.0.1', () =>
    emit({ event: 'mqtt_proxy', port: proxy.address().port, pid: process.pid }));
}
process.on('SIGUSR1', () => setBrokerUp(!relay.up));
process.on('SIGUSR2', () => {
  state.mode = state.mode === 'ok' ? 'error' : 'ok';
  emit({ event: 'mode', mode: state.mode });
});

function publishResponse(payload, topic) {
  if (!mqttClient) throw new Error('no MQTT connection (start with --mqtt-url)');
  mqttClient.publish(topic, payload, { qos: 1 }, (e) => {
    if (e) emit({ event: 'mqtt_error', error: e.message });
    else emit({ event: 'mqtt_response', topic, payload });
  });
}

onCommands((cmd) => {
  switch (cmd.cmd) {
    case 'mode':
      if (!MODES.includes(cmd.mode)) throw new Error(`mode must be one of ${MODES.join(', ')}`);
      state.mode = cmd.mode;
      if (cmd.status !== undefined) {
        if (!Number.isInteger(cmd.status) || cmd.status < 100 || cmd.status > 999) throw new Error('status must be 100..999');
        state.errorStatus = cmd.status;
      }
      return { mode: state.mode, status: state.errorStatus };
    case 'delay':
      if (!Number.isInteger(cmd.ms) || cmd.ms < 0) throw new Error('ms must be a whole number >= 0');
      state.delayMs = cmd.ms;
      return { ms: state.delayMs };
    case 'release': {
      const count = hanging.size;
      for (const res of [...hanging]) answer(res, 200, { code: 200, msg: 'success' });
      return { released: count };
    }
    case 'auto_respond':
      state.autoRespond = Boolean(cmd.on);
      return { on: state.autoRespond };
    case 'mqtt_publish':
      if (typeof cmd.payload !== 'string') throw new Error('payload must be a string');
      publishResponse(cmd.payload, typeof cmd.topic === 'string' ? cmd.topic : responseTopic);
      return {};
    case 'broker':
      setBrokerUp(Boolean(cmd.up));
      return { up: relay.up };
    case 'stop':
      setImmediate(() => process.kill(process.pid, 'SIGTERM'));
      return {};
    default:
      throw new Error('unknown command');
  }
});

exitOnSignals(() => {
  if (mqttClient) mqttClient.end(true);
});
listen(server, intOption(opts, 'port', 0));
