#!/usr/bin/env bash
# Runs the Debian openvpn against loopback servers and keeps the client's log of each
# outcome; the diagnosis tests read these logs. Needs openvpn and openssl; the runs
# against a "mode server" (refused login, pushed compression, no common cipher) need
# root and /dev/net/tun, as such a server opens a real tun.
# Usage: capture-logs.sh <output folder>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?output folder}
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d)
# Every openvpn started here names a file under $work, which is how they are all stopped.
trap 'pkill -f -- "$work" 2>/dev/null || true; sleep 0.2; rm -rf "$work"' EXIT
"$here/pki.sh" "$work" >/dev/null
cd "$work"

# The client runs with the options the application passes.
client_options=(--verb 3 --connect-retry 2 --connect-timeout 10 --connect-retry-max 5 --ping 10 --ping-restart 60)

# As the application starts it: the log emptied, OpenVPN's output appended to it (what
# OpenVPN says before --log takes effect), then --log.
client() { # name port seconds config-lines...
  local name=$1 port=$2 seconds=$3
  shift 3
  printf '%s\n' "$@" >"$name.ovpn"
  : >"$out/$name.log"
  timeout "$seconds" openvpn --config "$work/$name.ovpn" --log "$out/$name.log" \
    --management 127.0.0.1 "$port" "${client_options[@]}" >>"$out/$name.log" 2>&1 || true
}

common_client=(tls-client nobind "ca ca.crt" "cert client.crt" "key client.key" "remote-cert-tls server")

# Point-to-point TLS servers on dev null, reachable without root: a sound one (whose
# management port a client then finds taken), one whose certificate lacks the server
# usage, one with a tls-crypt key.
p2p_server() { # port log extra-options...
  openvpn --dev null --tls-server --dh none --ca ca.crt --proto udp --lport "$1" --log "$work/$2" "${@:3}" \
    >/dev/null 2>&1 &
}
p2p_server 11994 server-p2p.log --cert server.crt --key server.key --management 127.0.0.1 11950
# A point-to-point server serves one client at a time, and restarts when a handshake fails.
p2p_server 11990 server-11990.log --cert server.crt --key server.key
p2p_server 11996 server-no-usage.log --cert server-no-usage.crt --key server-no-usage.key
p2p_server 11997 server-tls-crypt.log --cert server.crt --key server.key --tls-crypt tls-crypt.key

echo "capturing: success, tls-ca-mismatch, unresolvable-host, tcp-refused, options-error" >&2
clients=()
client success 11941 6 "dev null" "remote 127.0.0.1 11994 udp" "${common_client[@]}" &
clients+=($!)
client tls-ca-mismatch 11942 25 "dev null" "remote 127.0.0.1 11994 udp" tls-client nobind "ca other-ca.crt" \
  "cert client.crt" "key client.key" "remote-cert-tls server" "hand-window 8" &
clients+=($!)
client unresolvable-host 11943 25 "dev null" "remote no-such-host.invalid 1194 udp" "${common_client[@]}" &
clients+=($!)
client tcp-refused 11944 40 "dev null" "remote 127.0.0.1 1 tcp-client" "${common_client[@]}" &
clients+=($!)
# An error in the file itself reaches only stderr; a missing CA is found after the log opens.
client options-error 11945 5 "dev null" "remote 127.0.0.1 11994 udp" tls-client nobind "cert client.crt" \
  "key client.key" &
clients+=($!)

echo "capturing: inline-ca-broken, key-mismatch, unknown-directive, management-port-in-use," \
  "tun-unavailable, server-no-usage, tls-crypt-mismatch" >&2
client inline-ca-broken 11951 5 "dev null" "remote 127.0.0.1 11994 udp" tls-client nobind \
  "<ca>" "not a certificate" "</ca>" "cert client.crt" "key client.key" &
clients+=($!)
client key-mismatch 11952 5 "dev null" "remote 127.0.0.1 11994 udp" tls-client nobind "ca ca.crt" \
  "cert client.crt" "key stray.key" &
clients+=($!)
client unknown-directive 11953 5 "dev null" "remote 127.0.0.1 11994 udp" "${common_client[@]}" "frobnicate 1" &
clients+=($!)
client management-port-in-use 11950 5 "dev null" "remote 127.0.0.1 11994 udp" "${common_client[@]}" &
clients+=($!)
client tun-unavailable 11954 10 "dev tun" "dev-node /nonexistent/tun" "ifconfig 10.88.0.2 10.88.0.1" \
  "remote 127.0.0.1 11990 udp" "${common_client[@]}" &
clients+=($!)
client server-no-usage 11970 25 "dev null" "remote 127.0.0.1 11996 udp" "${common_client[@]}" "hand-window 8" &
clients+=($!)
client tls-crypt-mismatch 11971 25 "dev null" "remote 127.0.0.1 11997 udp" "${common_client[@]}" \
  "tls-crypt other-tls-crypt.key" "hand-window 8" &
clients+=($!)

if [ "$(id -u)" -eq 0 ] && [ -c /dev/net/tun ]; then
  echo "capturing: auth-failed, compression-refused, no-common-cipher, client-cert-expired," \
    "client-cert-not-yet-valid" >&2
  cat >verify.sh <<'SCRIPT'
#!/bin/sh
exit 1
SCRIPT
  chmod +x verify.sh
  openvpn --mode server --tls-server --dev tun --dev-type tun --topology subnet \
    --server 10.89.0.0 255.255.255.0 --dh none --ca ca.crt --cert server.crt --key server.key \
    --proto udp --lport 11995 --script-security 2 --auth-user-pass-verify "$work/verify.sh" via-file \
    --verify-client-cert none --username-as-common-name --log "$work/server-auth.log" >/dev/null 2>&1 &
  printf 'alice\nwrong-password\n' >auth.txt
  sleep 1
  client auth-failed 11946 15 "dev null" client "remote 127.0.0.1 11995 udp" "auth-user-pass auth.txt" \
    "ca ca.crt" "remote-cert-tls server" &
  clients+=($!)
  mode_server() { # port net log extra-options...
    openvpn --mode server --tls-server --dev tun --dev-type tun --topology subnet --server "$2" 255.255.255.0 \
      --dh none --ca ca.crt --cert server.crt --key server.key --proto udp --lport "$1" --log "$work/$3" "${@:4}" \
      >/dev/null 2>&1 &
  }
  mode_server 11998 10.90.0.0 server-compress.log --allow-compression yes --compress lz4-v2 \
    --push "compress lz4-v2"
  mode_server 11999 10.91.0.0 server-cipher.log --data-ciphers AES-128-GCM
  mode_server 11989 10.92.0.0 server-dated.log
  sleep 1
  client compression-refused 11972 5 "dev null" client "remote 127.0.0.1 11998 udp" "${common_client[@]}" &
  clients+=($!)
  client no-common-cipher 11973 15 "dev null" client "remote 127.0.0.1 11999 udp" "${common_client[@]}" \
    "data-ciphers CHACHA20-POLY1305" &
  clients+=($!)
  for dated in expired:11974 not-yet-valid:11975; do
    client "client-cert-${dated%:*}" "${dated#*:}" 25 "dev null" client "remote 127.0.0.1 11989 udp" "ca ca.crt" \
      "cert client-${dated%:*}.crt" "key client-${dated%:*}.key" "remote-cert-tls server" "hand-window 8" &
    clients+=($!)
  done
else
  echo "skipping the runs against a mode server: they need root and /dev/net/tun" >&2
fi
wait "${clients[@]}"
echo "logs in $out" >&2
