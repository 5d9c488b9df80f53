'use strict';
// The interface's view of the native side: NativeModules and DeviceEventEmitter as the
// React Native interface knows them, over VLVPNDesk's stdio protocol (one JSON object
// per line each way). Run as the bundle of VLVPNDesk (it passes --vlvpn-host), the
// protocol is on our own stdin and stdout; otherwise we start `VLVPNDesk --stdio`
// ourselves and end it when we end.
const { spawn } = require('node:child_process');
const path = require('node:path');
const readline = require('node:readline');

const HOST_FLAG = '--vlvpn-host';

function hostedByDesk(argv = process.argv) {
  return argv.includes(HOST_FLAG);
}

function defaultDeskPath() {
  return process.env.VLVPN_DESK || path.join(__dirname, '..', 'build', 'linux', 'bin', 'VLVPNDesk');
}

// An Error as React Native rejects with: message, code, userInfo.
function nativeError(code, message, userInfo = null) {
  const error = new Error(message);
  error.code = code;
  error.userInfo = userInfo;
  return error;
}

class EventEmitter {
  constructor() {
    this.listeners = new Map();
  }
  addListener(name, fn) {
    if (typeof fn !== 'function') throw new TypeError('addListener needs a function');
    if (!this.listeners.has(name)) this.listeners.set(name, new Set());
    const entry = { fn };
    this.listeners.get(name).add(entry);
    return { remove: () => this.listeners.get(name)?.delete(entry) };
  }
  emit(name, body) {
    for (const { fn } of [...(this.listeners.get(name) ?? [])]) {
      try {
        fn(body);
      } catch (error) {
        process.emitWarning(`listener of "${name}" threw: ${error && error.message}`);
      }
    }
  }
}

// Connects to the native side and resolves once its hello has arrived.
// options: { desk, args, env } for a VLVPNDesk we start; { input, output } to use given streams.
function connect(options = {}) {
  let input = options.input;
  let output = options.output;
  let child = null;
  if (!input || !output) {
    if (hostedByDesk()) {
      input = process.stdin;
      output = process.stdout;
    } else {
      child = spawn(options.desk || defaultDeskPath(), ['--stdio', ...(options.args || [])], {
        stdio: ['pipe', 'pipe', 'ignore'],
        env: { ...process.env, ...(options.env || {}) },
      });
      input = child.stdout;
      output = child.stdin;
    }
  }

  const pending = new Map();
  const events = new EventEmitter();
  let nextId = 1;
  let gone = null; // the Error every call gets once the native side is gone

  const fail = (error) => {
    if (gone) return;
    gone = error;
    for (const { reject } of pending.values()) reject(error);
    pending.clear();
  };

  const send = (module, method, args) => {
    if (gone) return Promise.reject(gone);
    const id = nextId++;
    return new Promise((resolve, reject) => {
      pending.set(id, { resolve, reject });
      const line = JSON.stringify({ id, module, method, args }) + '\n';
      output.write(line, (error) => {
        if (error && pending.has(id)) {
          pending.delete(id);
          reject(nativeError('ENATIVEGONE', `Could not reach the native side: ${error.message}`));
        }
      });
    });
  };

  const exited = new Promise((resolve) => {
    if (child) {
      child.on('exit', (code, signal) => resolve({ code, signal }));
      child.on('error', (error) => resolve({ code: null, signal: null, error }));
    } else {
      input.on('close', () => resolve({ code: null, signal: null }));
    }
  });
  output.on('error', () => {}); // a closed pipe is reported by the calls it fails
  if (child) {
    const stop = () => child.exitCode === null && child.kill();
    process.on('exit', stop);
    exited.then(() => process.off('exit', stop));
  }

  return new Promise((resolveConnect, rejectConnect) => {
    let hello = null;
    const lines = readline.createInterface({ input, crlfDelay: Infinity });
    lines.on('line', (line) => {
      let message;
      try {
        message = JSON.parse(line);
      } catch {
        return; // not ours to answer; the native side never sends this
      }
      if (!hello) {
        if (!message || !message.hello) return;
        hello = message.hello;
        resolveConnect(build(hello));
        return;
      }
      if (message && typeof message.event === 'string') {
        events.emit(message.event, message.body);
        return;
      }
      const call = message && pending.get(message.id);
      if (!call) return;
      pending.delete(message.id);
      if (message.error) {
        const { code = 'EUNSPECIFIED', message: text = 'Unknown error', userInfo = null } = message.error;
        call.reject(nativeError(code, text, userInfo));
      } else {
        call.resolve(message.result);
      }
    });
    const ended = (how) => {
      const error = nativeError('ENATIVEGONE', `The native side (VLVPNDesk) ${how}; calls cannot be answered`);
      fail(error);
      if (!hello) rejectConnect(error);
    };
    if (child) {
      // Its output closes just before it is reaped: say how it ended, when it ends soon.
      lines.on('close', () => setTimeout(() => ended('closed its output'), 1000).unref());
      child.on('error', (error) => ended(`could not be started: ${error.message}`));
      child.on('exit', (code, signal) => ended(signal ? `was ended by ${signal}` : `exited with ${code}`));
    } else {
      lines.on('close', () => ended('closed its output'));
    }
  });

  function build(hello) {
    const NativeModules = {};
    for (const [name, spec] of Object.entries(hello.modules || {})) {
      const module = {};
      for (const [key, value] of Object.entries(spec.constants || {})) module[key] = value;
      for (const method of spec.methods || []) {
        module[method] = (...args) => send(name, method, args);
      }
      NativeModules[name] = Object.freeze(module);
    }
    return {
      NativeModules: Object.freeze(NativeModules),
      DeviceEventEmitter: events,
      // Ends the conversation: a VLVPNDesk we started settles what is pending and exits
      // (resolves then); as the bundle, resolves once our last line is out, since the
      // desktop process ends only after we do.
      close() {
        if (child) {
          output.end();
          return exited;
        }
        return new Promise((resolve) => output.end(resolve));
      },
      exited,
      pid: child ? child.pid : null,
    };
  }
}

module.exports = { connect, hostedByDesk, nativeError, HOST_FLAG };
