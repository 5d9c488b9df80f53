'use strict';
// The shim against the real VLVPNDesk: spawned by us (--stdio), and hosting us as its
// interface bundle. VLVPN_DESK names the program (else the Linux build's).
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync, spawn } = require('node:child_process');
const { connect } = require('./native.js');

const desk = process.env.VLVPN_DESK || path.join(__dirname, '..', 'build', 'linux', 'bin', 'VLVPNDesk');

function tempFolder(t) {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'vlvpn-ui-'));
  t.after(() => fs.rmSync(folder, { recursive: true, force: true }));
  return folder;
}

async function session(t) {
  const native = await connect({ desk, env: { XDG_DATA_HOME: tempFolder(t) } });
  t.after(() => native.close());
  return native;
}

test('the hello becomes the modules, calls settle with their own answers, a death rejects them', async (t) => {
  const native = await session(t);
  const { NativeModules } = native;
  const { VLVPNTunnel } = NativeModules;
  assert.deepEqual(Object.keys(NativeModules).sort(), ['VLVPNAuthSession', 'VLVPNBuildConfig', 'VLVPNTunnel']);
  for (const method of ['connectOvpn', 'disconnect', 'getStatus', 'saveOvpnAuth', 'writeKeychainItem']) {
    assert.equal(typeof VLVPNTunnel[method], 'function', method);
  }
  assert.equal(typeof NativeModules.VLVPNAuthSession.beginLoopback, 'function');
  assert.equal(NativeModules.VLVPNBuildConfig.appDisplayName, 'Velunor VPN');
  assert.match(NativeModules.VLVPNBuildConfig.versionName, /^\d+\.\d+\.\d+$/);
  assert.throws(() => { VLVPNTunnel.getStatus = null; }, TypeError);

  // Void calls settle with undefined; rejections are Errors carrying code, message and userInfo.
  const keys = Array.from({ length: 40 }, (_, i) => `key${i}`);
  const written = await Promise.all(keys.map((key) => VLVPNTunnel.writeUserDefaults(key, `value of ${key}`)));
  assert.deepEqual(written, keys.map(() => undefined));
  const read = await Promise.all(keys.map((key) => VLVPNTunnel.readUserDefaults(key)));
  assert.deepEqual(read, keys.map((key) => `value of ${key}`));
  await assert.rejects(VLVPNTunnel.readOvpnAuth('nobody'), (error) => {
    assert.ok(error instanceof Error);
    assert.deepEqual({ ...error }, { code: 'EUNSPECIFIED', userInfo: null });
    assert.equal(error.message, 'Auth file not found');
    return true;
  });

  assert.equal((await VLVPNTunnel.getStatus()).state, 'disconnected');
  // Stopped, it reads nothing: these calls are pending for good, until it dies.
  process.kill(native.pid, 'SIGSTOP');
  const waiting = [VLVPNTunnel.getStatus(), VLVPNTunnel.readUserDefaults('x')];
  await new Promise((resolve) => setTimeout(resolve, 200));
  process.kill(native.pid, 'SIGKILL');
  for (const call of waiting) {
    await assert.rejects(call, (error) => error.code === 'ENATIVEGONE' && /was ended by SIGKILL/.test(error.message));
  }
  await assert.rejects(VLVPNTunnel.getStatus(), { code: 'ENATIVEGONE' });
  assert.deepEqual(await native.exited, { code: null, signal: 'SIGKILL' });
});

test('a program that is not there is reported, not waited for', async () => {
  await assert.rejects(connect({ desk: '/nonexistent/VLVPNDesk' }), { code: 'ENATIVEGONE' });
});

test('as the bundle of the desktop process: events reach listeners until removed', { timeout: 60000 }, async (t) => {
  if (process.platform !== 'linux') return t.skip('the desktop process runs the bundle on Linux here');
  // VLVPNDesk runs <its folder>/Bundle/index.windows with node: a copy of it gets a bundle of ours.
  const folder = tempFolder(t);
  const program = path.join(folder, 'VLVPNDesk');
  fs.copyFileSync(desk, program);
  fs.mkdirSync(path.join(folder, 'Bundle'));
  const record = path.join(folder, 'record.txt');
  fs.writeFileSync(path.join(folder, 'Bundle', 'index.windows'), `
    const fs = require('node:fs');
    const { connect, hostedByDesk } = require(${JSON.stringify(path.join(__dirname, 'native.js'))});
    const note = (text) => fs.appendFileSync(${JSON.stringify(record)}, text + '\\n');
    connect().then(({ NativeModules, DeviceEventEmitter }) => {
      let once = 0, always = 0;
      const first = DeviceEventEmitter.addListener('appWindowDidShow', () => { once++; first.remove(); });
      DeviceEventEmitter.addListener('appWindowDidShow', async () => {
        always++;
        note('shown once=' + once + ' always=' + always);
        if (always === 2) process.exit(0);
      });
      NativeModules.VLVPNTunnel.getStatus().then((s) => note('ready hosted=' + hostedByDesk() + ' ' + s.state));
    });
  `);
  const env = { ...process.env, XDG_DATA_HOME: path.join(folder, 'data') };
  const first = spawn(program, [], { env, stdio: 'ignore' });
  const exit = new Promise((resolve) => first.on('exit', (code) => resolve(code)));
  const recorded = () => (fs.existsSync(record) ? fs.readFileSync(record, 'utf8') : '');
  const waitFor = async (text) => {
    for (let i = 0; i < 200 && !recorded().includes(text); i++) await new Promise((r) => setTimeout(r, 50));
    assert.ok(recorded().includes(text), `waited for "${text}"; recorded: ${recorded()}`);
  };
  await waitFor('ready hosted=true disconnected');
  for (const expected of ['shown once=1 always=1', 'shown once=1 always=2']) {
    // A second copy asks the first to show itself and exits.
    assert.equal(spawnSync(program, [], { env, timeout: 10000 }).status, 0);
    await waitFor(expected);
  }
  assert.equal(await exit, 0); // the interface ended, so did the desktop process
});
