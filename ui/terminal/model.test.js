'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const { profileFacts, rate, statusLine } = require('./model.js');

test('profile facts: the server and whether credentials are asked for', () => {
  const cases = [
    ['client\nremote vpn.example 443 tcp\nauth-user-pass\n', { host: 'vpn.example', port: 443 }, true],
    ['remote a.example\r\nremote b.example 1195\r\n', { host: 'b.example', port: 1195 }, false],
    ['auth-user-pass auth.txt\nremote 198.18.0.2\n', { host: '198.18.0.2', port: 1194 }, false],
    ['  auth-user-pass   # asked\n', null, true],
    ['# remote commented 1\n', null, false],
  ];
  for (const [text, server, needsAuth] of cases) {
    assert.deepEqual(profileFacts(text), { server, needsAuth }, text);
  }
});

test('status line and rates as the user reads them', () => {
  const profile = { name: 'Home', server: { host: '198.18.0.2', port: 1194 } };
  const cases = [
    [{ state: 'connected', pid: 42 }, 12, '  connected  to Home  server 198.18.0.2:1194  pid 42  latency 12 ms'],
    [{ state: 'disconnected', message: 'Authentication failed' }, 5, '  disconnected  server 198.18.0.2:1194  (Authentication failed)'],
    [{ state: 'connecting', pid: 7 }, 0, '  connecting  to Home  server 198.18.0.2:1194  pid 7'],
  ];
  for (const [status, latency, line] of cases) assert.equal(statusLine(status, profile, latency), line);
  assert.deepEqual([0, 999, 1500, 2500000].map(rate), ['0 B/s', '999 B/s', '1.5 kB/s', '2.5 MB/s']);
});
