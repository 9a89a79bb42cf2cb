// Plumbing shared by the simulated platform and camera: command-line options,
// one compact JSON line per event on standard output, JSON-line commands on
// standard input, the listening line and a clean exit on SIGTERM/SIGINT.
'use strict';

const readline = require('readline');

// Parses "--key value" pairs and the boolean "--flag"s named in flags; prints
// the help and exits on --help or on a malformed command line.
function parseArgs(argv, flags, help) {
  const opts = {};
  try {
    for (let i = 0; i < argv.length; i++) {
      const a = argv[i];
      if (!a.startsWith('--')) throw new Error(`unexpected argument ${a}`);
      const key = a.slice(2);
      if (key === 'help' || flags.includes(key)) {
        opts[key] = true;
      } else {
        if (i + 1 >= argv.length) throw new Error(`${a} needs a value`);
        opts[key] = argv[++i];
      }
    }
  } catch (e) {
    process.stderr.write(`${e.message}\n${help}\n`);
    process.exit(2);
  }
  if (opts.help) {
    process.stdout.write(`${help}\n`);
    process.exit(0);
  }
  return opts;
}

// A whole number option, or the fallback; a malformed value ends the process.
function intOption(opts, key, fallback) {
  if (opts[key] === undefined) return fallback;
  const n = Number(opts[key]);
  if (!Number.isInteger(n)) {
    process.stderr.write(`--${key} needs a whole number, got ${opts[key]}\n`);
    process.exit(2);
  }
  return n;
}

function emit(event) {
  process.stdout.write(`${JSON.stringify(event)}\n`);
}

// Calls handler(command) for every JSON object line on standard input; a line
// that is not one gives a command_error event. The handler returns the
// acknowledgement's extra members, or throws to reject the command. A closed
// standard input leaves the peer running (it may run in the background).
function onCommands(handler) {
  const rl = readline.createInterface({ input: process.stdin });
  rl.on('line', (line) => {
    if (line.trim() === '') return;
    let cmd;
    try {
      cmd = JSON.parse(line);
    } catch (e) {
      emit({ event: 'command_error', error: `not JSON: ${e.message}`, line });
      return;
    }
    if (cmd === null || typeof cmd !== 'object' || typeof cmd.cmd !== 'string') {
      emit({ event: 'command_error', error: 'expected {"cmd":NAME,...}', line });
      return;
    }
    try {
      emit({ event: 'command', cmd: cmd.cmd, ...handler(cmd) });
    } catch (e) {
      emit({ event: 'command_error', cmd: cmd.cmd, error: e.message });
    }
  });
}

// Listens on 127.0.0.1 and prints the listening line, always the first event.
function listen(server, port) {
  server.on('error', (e) => {
    process.stderr.write(`listen failed: ${e.message}\n`);
    process.exit(1);
  });
  server.listen(port, '127.0.0.1', () => emit({ event: 'listening', port: server.address().port }));
}

function exitOnSignals(cleanup) {
  const quit = () => {
    try {
      if (cleanup) cleanup();
    } finally {
      process.exit(0);
    }
  };
  process.on('SIGTERM', quit);
  process.on('SIGINT', quit);
}

module.exports = { parseArgs, intOption, emit, onCommands, listen, exitOnSignals };
