'use strict';
// What the terminal shows, from what the native side says: pure, so tests need no terminal.

// The server and whether credentials are asked for, from a profile's text (the last
// "remote" wins, as OpenVPN's first try would not tell the user more).
function profileFacts(text) {
  let server = null;
  let needsAuth = false;
  for (const raw of text.split(/\r?\n/)) {
    const tokens = raw.trim().split(/\s+/);
    if (tokens[0] === 'remote' && tokens[1]) server = { host: tokens[1], port: Number(tokens[2]) || 1194 };
    if (tokens[0] === 'auth-user-pass' && (tokens.length === 1 || tokens[1].startsWith('#'))) needsAuth = true;
  }
  return { server, needsAuth };
}

function rate(bytesPerSecond) {
  const value = Number(bytesPerSecond) || 0;
  if (value >= 1e6) return `${(value / 1e6).toFixed(1)} MB/s`;
  if (value >= 1e3) return `${(value / 1e3).toFixed(1)} kB/s`;
  return `${value} B/s`;
}

function statusLine(status, profile, latency) {
  const parts = [`  ${status.state || 'unknown'}`];
  if (profile && status.state !== 'disconnected') parts.push(`to ${profile.name}`);
  if (profile && profile.server) parts.push(`server ${profile.server.host}:${profile.server.port}`);
  if (status.pid) parts.push(`pid ${status.pid}`);
  if (status.state === 'connected' && typeof latency === 'number' && latency > 0) parts.push(`latency ${latency} ms`);
  if (status.state !== 'connected' && status.message) parts.push(`(${status.message})`);
  return parts.join('  ');
}

module.exports = { profileFacts, rate, statusLine };
