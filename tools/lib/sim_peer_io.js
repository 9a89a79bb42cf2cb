// Plumbing shared by the simulated peers: command-line options, one compact
// JSON line per event on standard output, JSON-line commands on standard
// input, the listening line and a clean exit on SIGTERM/SIGINT.
'use strict';

const readline = require('readline');

// Parses "--key value" pairs and the boolean "--flag"s named in flags; prints
// the help and exits on --help or on a malformed command line. When valued
// lists the options that take a value, any other option is refused too.
function parseArgs(argv, flags, help, valued) {
  const opts = {};
  try {
    for (let i = 0; i < argv.length; i++) {
      const a = argv[i];
      if (!a.startsWith('--')) throw new Error(`unexpected argument ${a}`);
      const key = a.slice(2);
      if (key === 'help' || flags.includes(key)) {
        opts[key] = true;
      } else {
        if (valued && !valued.includes(key)) throw new Error(`unknown option ${a}`);
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

// A whole number option (at least min, when given), or the fallback; a
// malformed value ends the process.
function intOption(opts, key, fallback, min) {
  if (opts[key] === undefined) return fallback;
  const n = Number(opts[key]);
  if (!Number.isInteger(n) || (min !== undefined && n < min)) {
    const least = min !== undefined ? ` of at least ${min}` : '';
    process.stderr.write(`--${key} needs a whole number${least}, got ${opts[key]}\n`);
    process.exit(2);
  }
  return n;
}

// One compact JSON line on standard output; replacer (optional) as for
// JSON.stringify.
function emit(event, replacer) {
  process.stdout.write(`${JSON.stringify(event, replacer)}\n`);
}

// Calls onValue(value, line) for every non-blank line of standard input that
// holds JSON, and onBadLine(line, error) for any other. Returns the readline
// interface (its 'close' event tells that standard input closed).
function readJsonLines(onValue, onBadLine) {
  const rl = readline.createInterface({ input: process.stdin });
  rl.on('line', (line) => {
    if (line.trim() === '') return;
    let value;
    try {
      value = JSON.parse(line);
    } catch (e) {
      onBadLine(line, e);
      return;
    }
    onValue(value, line);
  });
  return rl;
}

// Calls handler(command) for every JSON object line on standard input; a line
// that is not one gives a command_error event. The handler returns the
// acknowledgement's extra members, or throws to reject the command. A closed
// standard input leaves the peer running (it may run in the background).
function onCommands(handler) {
  readJsonLines((cmd, line) => {
    if (cmd === null || typeof cmd !== 'object' || typeof cmd.cmd !== 'string') {
      emit({ event: 'command_error', error: 'expected {"cmd":NAME,...}', line });
      return;
    }
    try {
      emit({ event: 'command', cmd: cmd.cmd, ...handler(cmd) });
    } catch (e) {
      emit({ event: 'command_error', cmd: cmd.cmd, error: e.message });
    }
  }, (line, e) => emit({ event: 'command_error', error: `not JSON: ${e.message}`, line }));
}

// Listens on 127.0.0.1 and prints the listening line, always the first event,
// with the members of extra after the port.
function listen(server, port, extra = {}) {
  server.on('error', (e) => {
    process.stderr.write(`listen failed: ${e.message}\n`);
    process.exit(1);
  });
  server.listen(port, '127.0.0.1', () => emit({ event: 'listening', port: server.address().port, ...extra }));
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

module.exports = { parseArgs, intOption, emit, readJsonLines, onCommands, listen, exitOnSignals };
