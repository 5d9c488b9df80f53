#!/usr/bin/env bash
# Runs the Debian openvpn against loopback servers and keeps the client's log of each
# outcome; the diagnosis tests read these logs. Needs openvpn and openssl; the
# AUTH_FAILED run needs root and /dev/net/tun (a "mode server" opens a real tun).
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

client() { # name port seconds config-lines...
  local name=$1 port=$2 seconds=$3
  shift 3
  printf '%s\n' "$@" >"$name.ovpn"
  timeout "$seconds" openvpn --config "$work/$name.ovpn" --log "$out/$name.log" \
    --management 127.0.0.1 "$port" "${client_options[@]}" >/dev/null 2>&1 || true
}

common_client=(tls-client nobind "ca ca.crt" "cert client.crt" "key client.key" "remote-cert-tls server")

# A point-to-point TLS server on dev null: reachable without root.
openvpn --dev null --tls-server --dh none --ca ca.crt --cert server.crt --key server.key \
  --proto udp --lport 11994 --log "$work/server-p2p.log" >/dev/null 2>&1 &

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

if [ "$(id -u)" -eq 0 ] && [ -c /dev/net/tun ]; then
  echo "capturing: auth-failed" >&2
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
else
  echo "skipping auth-failed: needs root and /dev/net/tun for the server's tun device" >&2
fi
wait "${clients[@]}"
echo "logs in $out" >&2
