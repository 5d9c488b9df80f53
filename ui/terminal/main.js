'use strict';
// Velunor VPN in a terminal: the interface's part, over ui/native.js.
//   node ui/terminal/main.js [--import FILE] [--profile ID] [--connect] [--for SECONDS]
// Keys: 1-9 pick a profile, c connect, d disconnect, i import (the system's file picker),
// k kill switch, 6 IPv6 block, q or Ctrl-C disconnect and quit. On a terminal one status area is redrawn in place;
// otherwise (or with --for) plain lines are printed as things change.
const fs = require('node:fs');
const path = require('node:path');
const tty = require('node:tty');
const { connect, hostedByDesk } = require('../native.js');
const { profileFacts, rate, statusLine } = require('./model.js');

const KEYCHAIN_SERVICE = 'VelunorVPN';

function parseArguments(argv) {
  const options = { import: null, profile: null, connect: false, for: null };
  for (let i = 0; i < argv.length; i++) {
    const arg = argv[i];
    if (arg === '--import') options.import = argv[++i];
    else if (arg === '--profile') options.profile = argv[++i];
    else if (arg === '--connect') options.connect = true;
    else if (arg === '--for') options.for = Number(argv[++i]);
    else if (arg === '--vlvpn-host') continue;
    else throw new Error(`unknown argument "${arg}" (see the top of ui/terminal/main.js)`);
  }
  if (options.for !== null && !(options.for > 0)) throw new Error('--for needs a number of seconds');
  return options;
}

// The terminal: our own streams, or /dev/tty when our streams carry the protocol.
function openTerminal() {
  if (!hostedByDesk()) return { input: process.stdin, output: process.stdout };
  try {
    const fd = fs.openSync('/dev/tty', 'r+');
    return { input: new tty.ReadStream(fd), output: new tty.WriteStream(fd) };
  } catch {
    return { input: null, output: process.stderr };
  }
}

async function main() {
  const options = parseArguments(process.argv.slice(2));
  const terminal = openTerminal();
  const live = Boolean(terminal.output.isTTY && terminal.input && terminal.input.isTTY && options.for === null);
  const native = await connect();
  const { VLVPNTunnel } = native.NativeModules;
  const ui = {
    profiles: [],
    selected: null,
    status: { state: 'disconnected' },
    latency: null,
    killSwitch: false,
    blockIpv6: true,
    message: '',
    lastPrinted: '',
  };

  const say = (text) => {
    ui.message = text;
    if (!live) terminal.output.write(text + '\n');
  };

  async function loadProfiles() {
    const entries = await VLVPNTunnel.listSavedOvpnProfiles();
    ui.profiles = entries
      .map((entry) => {
        try {
          return JSON.parse(entry._raw);
        } catch {
          return null;
        }
      })
      .filter((meta) => meta && typeof meta.id === 'string');
    if (!ui.selected && ui.profiles.length > 0) ui.selected = ui.profiles[0];
  }

  async function importFile(file) {
    await importProfile(fs.readFileSync(file, 'utf8'), path.basename(file), `"${file}"`);
  }

  // The system's file picker, where there is one (zenity or kdialog on Linux).
  async function pickAndImport() {
    try {
      const chosen = await VLVPNTunnel.pickOvpnFile();
      if (!chosen || typeof chosen.content !== 'string') return say('No file chosen.');
      await importProfile(chosen.content, chosen.fileName || 'profile.ovpn', `"${chosen.fileName}"`);
    } catch (error) {
      say(`Could not import: ${error.message}`);
    }
  }

  async function importProfile(text, fileName, label) {
    const id = fileName.replace(/\.ovpn$/i, '').replace(/[^A-Za-z0-9_-]/g, '-') || 'profile';
    const facts = profileFacts(text);
    const stored = fileName.endsWith('.ovpn') ? fileName : `${fileName}.ovpn`;
    await VLVPNTunnel.saveOvpnProfile(id, text, stored, '');
    const meta = { id, name: id, fileName: stored, ...facts };
    await VLVPNTunnel.saveOvpnProfileMeta(id, JSON.stringify(meta));
    say(`Imported ${label} as profile "${id}"${facts.needsAuth ? ' (it asks for a username and password)' : ''}.`);
    await loadProfiles();
    ui.selected = ui.profiles.find((p) => p.id === id) || ui.selected;
  }

  // Username and password for a profile that needs them: kept from before, else asked.
  async function credentials(profile) {
    if (!profile.needsAuth) return { username: '', password: '' };
    const saved = await VLVPNTunnel.readOvpnAuth(profile.id).catch(() => null);
    const password = await VLVPNTunnel.readKeychainItem(KEYCHAIN_SERVICE, profile.id);
    if (saved && saved.username && password) return { username: saved.username, password };
    if (!terminal.input || !terminal.input.isTTY) {
      throw new Error('This profile needs a username and password, and there is no terminal to ask.');
    }
    const username = await ask(`Username for ${profile.name}: `, true);
    const secret = await ask('Password (not shown): ', false);
    await VLVPNTunnel.saveOvpnAuth(profile.id, username, secret);
    await VLVPNTunnel.writeKeychainItem(KEYCHAIN_SERVICE, profile.id, secret);
    return { username, password: secret };
  }

  // Asked on the terminal in both modes: in plain-line mode keys are read only while asking.
  let asking = null;
  function ask(prompt, echo) {
    return new Promise((resolve) => {
      terminal.output.write('\n' + prompt);
      asking = { text: '', echo, resolve };
      if (!live) startKeys();
    });
  }
  const onData = (chunk) => {
    for (const key of chunk) onKey(key);
  };
  let readingKeys = false;
  function startKeys() {
    if (readingKeys) return;
    readingKeys = true;
    terminal.input.setRawMode(true);
    terminal.input.setEncoding('utf8');
    terminal.input.on('data', onData);
    terminal.input.resume();
  }
  function stopKeys() {
    if (!readingKeys) return;
    readingKeys = false;
    terminal.input.off('data', onData);
    terminal.input.setRawMode(false);
    terminal.input.pause();
  }

  async function connectSelected() {
    const profile = ui.selected;
    if (!profile) return say('No profile yet: start with --import FILE.');
    try {
      const { username, password } = await credentials(profile);
      say(`Connecting to ${profile.name}...`);
      await VLVPNTunnel.connectOvpn(profile.id, username, password, profile.fileName || '');
    } catch (error) {
      say(`Could not connect: ${error.message}`);
    }
  }

  async function disconnect() {
    try {
      await VLVPNTunnel.disconnect();
      say('Disconnected.');
    } catch (error) {
      say(`Could not disconnect: ${error.message}`);
    }
  }

  async function refresh() {
    try {
      const previous = ui.status;
      ui.status = await VLVPNTunnel.getStatus();
      if (ui.status.state !== previous.state && ui.status.message) say(ui.status.message);
    } catch (error) {
      ui.status = { state: 'unknown', message: error.message };
    }
    render();
  }

  async function probeLatency() {
    const server = ui.selected && ui.selected.server;
    if (ui.status.state !== 'connected' || !server || !server.port) return;
    ui.latency = await VLVPNTunnel.measureTcpLatency(server.host, server.port).catch(() => null);
  }

  function render() {
    const line = statusLine(ui.status, ui.selected, ui.latency);
    if (!live) {
      const rates = ui.status.state === 'connected' ? `  down ${rate(ui.status.downBps)}  up ${rate(ui.status.upBps)}` : '';
      if (line + rates !== ui.lastPrinted) terminal.output.write(line + rates + '\n');
      ui.lastPrinted = line + rates;
      return;
    }
    if (asking) return;
    const rows = [
      'Velunor VPN',
      '',
      'Profiles:',
      ...(ui.profiles.length === 0
        ? ['  (none: start with --import FILE)']
        : ui.profiles.slice(0, 9).map((p, i) => `  ${i + 1}. ${p === ui.selected ? '*' : ' '} ${p.name}${p.server ? ` (${p.server.host}:${p.server.port || 1194})` : ''}`)),
      '',
      line,
      `  down ${rate(ui.status.downBps)}  up ${rate(ui.status.upBps)}  kill switch ${ui.killSwitch ? 'on' : 'off'}  IPv6 block ${ui.blockIpv6 ? 'on' : 'off'}`,
      '',
      ui.message ? `  ${ui.message}` : '',
      '',
      '  c connect   d disconnect   i import   k kill switch   6 IPv6 block   1-9 profile   q quit',
    ];
    terminal.output.write('\x1b[H\x1b[J' + rows.join('\n') + '\n');
  }

  let quitting = false;
  const timers = [];
  async function quit() {
    if (quitting) return;
    quitting = true;
    for (const timer of timers) clearInterval(timer);
    if (ui.status.state !== 'disconnected') await disconnect();
    stopKeys();
    if (live) terminal.output.write('\x1b[?25h');
    await native.close();
    process.exit(0);
  }

  async function toggle(field, label, set) {
    const wanted = !ui[field];
    try {
      const confirmed = await set(wanted);
      ui[field] = confirmed && typeof confirmed.enabled === 'boolean' ? confirmed.enabled : wanted;
      say(`${label} ${ui[field] ? 'on' : 'off'}.`);
    } catch (error) {
      say(`${label} stays ${ui[field] ? 'on' : 'off'}: ${error.message}`);
    }
    render();
  }

  async function onKey(key) {
    if (asking) {
      if (key === '\r' || key === '\n') {
        const { text, resolve } = asking;
        asking = null;
        terminal.output.write('\n');
        if (!live) stopKeys();
        return resolve(text);
      }
      if (key === '\x03') return quit();
      if (key === '\x7f') asking.text = asking.text.slice(0, -1);
      else asking.text += key;
      if (asking.echo) terminal.output.write(key === '\x7f' ? '\b \b' : key);
      return;
    }
    if (key === 'q' || key === '\x03') return quit();
    if (key === 'c') return connectSelected();
    if (key === 'i') return pickAndImport();
    if (key === 'd') return disconnect();
    // The switch shown is the one the native side confirmed; a refusal is said, not fatal.
    if (key === 'k') return toggle('killSwitch', 'Kill switch', (on) => VLVPNTunnel.setKillSwitchEnabled(on));
    if (key === '6') return toggle('blockIpv6', 'IPv6 block', (on) => VLVPNTunnel.setBlockIpv6Enabled(on));
    const index = Number(key) - 1;
    if (index >= 0 && index < Math.min(9, ui.profiles.length)) ui.selected = ui.profiles[index];
    render();
  }

  native.DeviceEventEmitter.addListener('menuBarAction', (body) => {
    const action = body && body.action;
    if (action === 'quickConnect' || action === 'connect') connectSelected();
    else if (action === 'disconnect') disconnect();
  });
  native.exited.then(() => {
    if (!quitting) {
      terminal.output.write('\nThe native side ended.\n');
      process.exit(1);
    }
  });
  process.on('SIGINT', quit);
  process.on('SIGTERM', quit);

  await loadProfiles();
  if (options.import) await importFile(options.import);
  if (options.profile) ui.selected = ui.profiles.find((p) => p.id === options.profile) || ui.selected;
  if (live) {
    startKeys();
    terminal.output.write('\x1b[?25l');
  }
  // The run ends when it was told to, whatever the connect is waiting for.
  if (options.for !== null) setTimeout(quit, options.for * 1000);
  if (options.connect || options.for !== null) await connectSelected();
  if (quitting) return;
  await refresh();
  timers.push(setInterval(refresh, 1000), setInterval(probeLatency, 3000));
}

main().catch((error) => {
  process.stderr.write(`${error.message}\n`);
  process.exit(2);
});
