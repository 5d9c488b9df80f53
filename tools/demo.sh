#!/usr/bin/env bash
# A real tunnel, end to end, driven the way the interface drives VLVPNDesk: a profile
# saved through the bridge, connect, status until connected, latency and traffic,
# disconnect, and what landed on disk and reached the kill-switch service.
# As root: the real service (vlvpn-killswitchd, nftables) and a real tun device, all in
# two network namespaces of the demo's own, so the kill switch never touches this
# machine's network. Otherwise: a loopback server with "dev null" and fake-killswitch.
# Usage: tools/demo.sh <build bin folder>
set -euo pipefail
bin=$(cd "${1:?build bin folder}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../testing/session_lib.sh"
work=$(mktemp -d /tmp/vlvpn-demo.XXXXXX)
real=0
[ "$(id -u)" -eq 0 ] && command -v nft >/dev/null && command -v ip >/dev/null && real=1
client=vlvpn-demo-c$$
server=vlvpn-demo-s$$
cleanup() {
  [ "$real" -eq 0 ] || { remove_namespaces "$client" "$server"; rm -rf "/etc/netns/$client"; }
  revoke_tun
  pkill -f -- "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

show() { printf '%s\n' "$*"; }
outside() { # a datagram to the server's own address, outside the tunnel
  if ip netns exec "$client" bash -c 'echo x >/dev/udp/198.18.0.2/9' 2>/dev/null; then
    echo "sent"
  else
    echo "refused (Operation not permitted)"
  fi
}
say_call() { # method args-json [quiet]
  [ "${3:-}" = quiet ] || show "  -> $1 $2"
  call "$1" "$2" || exit 1
  [ "${3:-}" = quiet ] || show "  <- $reply"
}

show "== Velunor VPN native side: a real OpenVPN tunnel (work folder $work)"
"$here/../testing/openvpn/pki.sh" "$work/pki" >/dev/null
if [ "$real" -eq 1 ]; then
  chmod 755 "$work"
  ensure_openvpn_account
  grant_tun
  make_namespaces "$client" "$server"
  start_pushing_server "$server" "$work/pki" "$work/server.log" "$work"
  start_dns_servers "$server" "$work"
  mkdir -p "/etc/netns/$client"  # laid over /etc/resolv.conf by `ip netns exec`
  printf 'nameserver 198.18.0.2\n' >"/etc/netns/$client/resolv.conf"
  show "Two network namespaces of the demo's own: '$client' (198.18.0.1) and '$server' (198.18.0.2)."
  show "An OpenVPN server on UDP 198.18.0.2:1194 with a real tun device (TLS, EC P-256 certificates made just now)"
  show "that pushes its DNS server 10.8.0.1; test.velunor.example is 198.18.5.5 there and 198.18.6.6 to the"
  show "namespace's own resolver outside the tunnel (198.18.0.2)."
  ip netns exec "$client" "$bin/vlvpn-killswitchd" --socket "$work/ks.sock" --group nogroup \
    --state-dir "$work/state" --dns-state-dir "$work/dns" --resolv-conf "/etc/netns/$client/resolv.conf" \
    >"$work/service.log" 2>&1 &
  disown  # ended with the namespace; no job report
  show "The kill-switch service is the real vlvpn-killswitchd (nftables) on $work/ks.sock."
  run_desk=(ip netns exec "$client" "$bin/VLVPNDesk" --stdio)
  profile=$(tunnel_profile "$work/pki" 198.18.0.2 1194 pull)
  latency_target='["10.8.0.1",1]'  # through the tunnel
else
  port=11994
  openvpn --dev null --tls-server --dh none --ca "$work/pki/ca.crt" --cert "$work/pki/server.crt" \
    --key "$work/pki/server.key" --proto udp --lport "$port" --log "$work/server.log" >/dev/null 2>&1 &
  show "Not root: a loopback OpenVPN server with no tun device ('dev null') on UDP port $port,"
  show "and the kill-switch service played by fake-killswitch (it really starts OpenVPN, enforces nothing)."
  "$bin/fake-killswitch" --pipe "$work/ks.sock" --record "$work/service.log" >/dev/null 2>&1 &
  disown
  run_desk=("$bin/VLVPNDesk" --stdio)
  profile=$(printf 'client\\ndev null\\ntls-client\\nnobind\\nremote 127.0.0.1 %s\\nproto udp\\nca %s\\ncert %s\\nkey %s\\nremote-cert-tls server\\n' \
    "$port" "$work/pki/ca.crt" "$work/pki/client.crt" "$work/pki/client.key")
  latency_target="[\"127.0.0.1\",$port]"
fi
for _ in $(seq 50); do [ -S "$work/ks.sock" ] && break; sleep 0.1; done

start_desk env XDG_DATA_HOME="$work/data" VLVPN_KILLSWITCH_SOCKET="$work/ks.sock" "${run_desk[@]}"
show "VLVPNDesk --stdio answered: $(printf '%s' "$hello" | cut -c1-100)..."

show ""
show "== Save the profile"
say_call saveOvpnProfile "[\"home\",\"$profile\",\"home.ovpn\",\"\"]"
say_call saveOvpnProfileMeta '["home","{\"id\":\"home\",\"name\":\"Home server\",\"fileName\":\"home.ovpn\"}"]'
say_call listSavedOvpnProfiles '[]'

show ""
show "== Kill switch on, connect and follow the tunnel"
say_call setKillSwitchEnabled '[true]'
start=$(date +%s%N)
say_call connectOvpn '["home","","","home.ovpn"]'
wait_state connected 100 0.2 || true
show "  <- getStatus: $reply"
show "  connected after $(( ($(date +%s%N) - start) / 1000000 )) ms"
[ "$state" = connected ] || { show "the tunnel did not come up; OpenVPN's log:"; tail -5 "$work/data/VLVPNDesk/profiles/home/openvpn.log"; exit 1; }
say_call measureTcpLatency "$latency_target"
if [ "$real" -eq 1 ]; then
  show ""
  show "== Traffic"
  say_call getTrafficStats '[]'
  show "  1 MB of UDP through the tunnel to 10.8.0.1 for a second..."
  ip netns exec "$client" bash -c 'chunk=$(head -c 1000 /dev/zero | tr "\0" x)
    for i in $(seq 1000); do echo "$chunk" >/dev/udp/10.8.0.1/9; (( i % 100 )) || sleep 0.1; done' 2>/dev/null || true
  say_call getTrafficStats '[]'
  show "  and outside the tunnel: $(outside)"
  show "  a name looked up by an unprivileged user, kill switch on:" \
    "$(ip netns exec "$client" setpriv --reuid=4242 --regid=4242 --clear-groups getent hosts test.velunor.example ||
      echo "not found")"
  show "  the resolver file now:"
  ip netns exec "$client" grep -v '^#' /etc/resolv.conf | sed 's/^/    /'
  openvpn_pid=$(pgrep -f -- "$work/state/openvpn/profile.conf" || true)
  [ -z "$openvpn_pid" ] || show "  OpenVPN (pid $openvpn_pid) runs as $(openvpn_identity "$openvpn_pid")"
  show "  the rules in force (table inet vlvpn, kill-switch output chain):"
  ip netns exec "$client" nft list chain inet vlvpn killswitch_out | sed -n '/hook/,/}/p' | sed 's/^\t*/    /'
else
  say_call getTrafficStats '[]'
fi

show ""
show "== On disk while connected"
(cd "$work/data" && find VLVPNDesk -printf '  %m %p\n' | sort -k2)  # modes: the user's alone
show "  active.txt: $(cat "$work/data/VLVPNDesk/active.txt")"
show "  last lines of OpenVPN's log:"
tail -3 "$work/data/VLVPNDesk/profiles/home/openvpn.log" | sed 's/^/    /'

show ""
show "== Disconnect"
say_call disconnect '[]'
say_call getStatus '[]'
show "  active.txt left: $([ -e "$work/data/VLVPNDesk/active.txt" ] && echo yes || echo no)"
show "  OpenVPN clients still running: $(pgrep -f -- "--config $work" | wc -l)"
if [ "$real" -eq 1 ]; then
  show "  outside the tunnel now: $(outside)"
  show "  the resolver file is back: $(ip netns exec "$client" cat /etc/resolv.conf)"
fi

show ""
show "== The same tunnel through the terminal interface (ui/terminal, non-interactive: --for 8)"
ui=(node "$here/../ui/terminal/main.js" --profile home --for 8)
if command -v node >/dev/null; then
  if [ "$real" -eq 0 ]; then
    # A point-to-point server still holds the session of the client before: a fresh one.
    pkill -f -- "--log $work/server.log" || true
    sleep 0.2
    openvpn --dev null --tls-server --dh none --ca "$work/pki/ca.crt" --cert "$work/pki/server.crt" \
      --key "$work/pki/server.key" --proto udp --lport "$port" --log "$work/server-2.log" --daemon
  fi
  if [ "$real" -eq 1 ]; then
    # Traffic through the tunnel while it runs, so the rates move.
    ip netns exec "$client" bash -c 'sleep 3; chunk=$(head -c 1000 /dev/zero | tr "\0" x)
      for i in $(seq 3000); do echo "$chunk" >/dev/udp/10.8.0.1/9; (( i % 100 )) || sleep 0.1; done' 2>/dev/null &
    traffic=$!
    ip netns exec "$client" env XDG_DATA_HOME="$work/data" VLVPN_KILLSWITCH_SOCKET="$work/ks.sock" \
      VLVPN_DESK="$bin/VLVPNDesk" "${ui[@]}" | sed 's/^/  /'
    wait "$traffic" || true
  else
    XDG_DATA_HOME="$work/data" VLVPN_KILLSWITCH_SOCKET="$work/ks.sock" VLVPN_DESK="$bin/VLVPNDesk" "${ui[@]}" |
      sed 's/^/  /'
  fi
  show "  (interactive: ./run ui --import FILE)"
else
  show "  node is not installed: skipped"
fi

show ""
show "== What the kill-switch service did"
sed 's/\t/ <TAB> /g; s/^/  /' "$work/service.log" | cut -c1-160

stop_desk
show ""
show "End of input: VLVPNDesk exited with $desk_status."
exit "$desk_status"
