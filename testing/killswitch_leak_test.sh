#!/usr/bin/env bash
# Leak test of the kill switch, end to end and for real: two network namespaces of our
# own joined by a veth pair (198.18.0.0/24 and 2001:2::/64, benchmarking ranges), an
# OpenVPN server and packet counters in one, vlvpn-killswitchd, VLVPNDesk --stdio and
# the OpenVPN it starts in the other. Traffic never leaves the two namespaces.
# Usage: killswitch_leak_test.sh <build bin folder>; exit 77 (skipped) without root.
set -euo pipefail
bin=$(cd "${1:?build bin folder}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root (network namespaces, nftables, tun)"; exit 77; }
for tool in ip nft openvpn; do command -v "$tool" >/dev/null || { echo "skipped: no $tool"; exit 77; }; done

work=$(mktemp -d /tmp/vlvpn-leak.XXXXXX)
chmod 755 "$work"
client=vlvpn-leak-c$$
server=vlvpn-leak-s$$
cleanup() {
  for ns in "$client" "$server"; do
    ip netns pids "$ns" 2>/dev/null | xargs -r kill -9 2>/dev/null || true
    ip netns del "$ns" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
in_client() { ip netns exec "$client" "$@"; }
in_server() { ip netns exec "$server" "$@"; }
fail() {
  echo "FAIL: $*" >&2
  echo "--- service log" >&2
  cat "$work/service.log" >&2 || true
  exit 1
}

ip netns add "$client"
ip netns add "$server"
ip link add "vlc$$" type veth peer name "vls$$"
ip link set "vlc$$" netns "$client"
ip link set "vls$$" netns "$server"
in_client ip addr add 198.18.0.1/24 dev "vlc$$"
in_server ip addr add 198.18.0.2/24 dev "vls$$"
in_client ip -6 addr add 2001:2::1/64 dev "vlc$$" nodad
in_server ip -6 addr add 2001:2::2/64 dev "vls$$" nodad
for ns in "$client" "$server"; do ip netns exec "$ns" ip link set lo up; done
in_client ip link set "vlc$$" up
in_server ip link set "vls$$" up

# What reaches the server's namespace from outside the tunnel and through it.
in_server nft -f - <<NFT
table inet count {
  counter outside_udp {}
  counter outside_tcp {}
  counter outside_ipv6 {}
  counter tunnel {}
  chain input {
    type filter hook input priority -10; policy accept;
    iifname "vls$$" ip daddr 198.18.0.2 udp dport 9999 counter name "outside_udp"
    iifname "vls$$" ip daddr 198.18.0.2 tcp dport 9999 counter name "outside_tcp"
    iifname "vls$$" ip6 nexthdr { udp, tcp } counter name "outside_ipv6"
    iifname "tun*" udp dport 9999 counter name "tunnel"
  }
}
NFT
count() { in_server nft list counter inet count "$1" | awk '/packets/ { print $2 }'; }
reset_counts() { in_server nft reset counters table inet count >/dev/null; }

# A burst of each kind from the client's namespace; sends that the kill switch refuses fail.
burst() {
  reset_counts
  in_client bash -c '
    for i in $(seq 20); do
      echo leak >/dev/udp/198.18.0.2/9999
      echo leak >/dev/udp/2001:2::2/9999
      echo tunnel >/dev/udp/10.8.0.1/9999
    done 2>/dev/null
    for i in 1 2 3; do timeout 0.3 bash -c "echo >/dev/tcp/198.18.0.2/9999" 2>/dev/null; done
    true'
  sleep 0.3
  udp=$(count outside_udp) tcp=$(count outside_tcp) ipv6=$(count outside_ipv6) tunnel=$(count tunnel)
  echo "  $1: outside UDP $udp, outside TCP $tcp, IPv6 $ipv6, through the tunnel $tunnel"
}

"$here/openvpn/pki.sh" "$work/pki" >/dev/null 2>&1
in_server openvpn --dev tun --ifconfig 10.8.0.1 10.8.0.2 --tls-server --dh none --ca "$work/pki/ca.crt" \
  --cert "$work/pki/server.crt" --key "$work/pki/server.key" --proto udp --lport 1194 \
  --log "$work/server.log" --daemon

in_client "$bin/vlvpn-killswitchd" --socket "$work/ks.sock" --group nogroup --state-dir "$work/state" \
  >>"$work/service.log" 2>&1 &
for _ in $(seq 100); do [ -S "$work/ks.sock" ] && break; sleep 0.05; done

coproc DESK { XDG_DATA_HOME=$work/data VLVPN_KILLSWITCH_SOCKET=$work/ks.sock exec ip netns exec "$client" "$bin/VLVPNDesk" --stdio 2>/dev/null; }
desk_pid=$DESK_PID
IFS= read -r -t 10 hello <&"${DESK[0]}" || fail "no hello from VLVPNDesk"
id=0
call() { # module method args-json
  id=$((id + 1))
  printf '{"id":%d,"module":"VLVPNTunnel","method":"%s","args":%s}\n' "$id" "$1" "$2" >&"${DESK[1]}"
  while IFS= read -r -t 60 reply <&"${DESK[0]}"; do
    case $reply in *"\"id\":$id,"* | *"\"id\":$id}"*) return 0 ;; esac
  done
  fail "no answer to $1"
}
state() { call getStatus '[]'; printf '%s' "$reply" | sed -n 's/.*"state":"\([a-z]*\)".*/\1/p'; }
wait_for_state() {
  for _ in $(seq 150); do [ "$(state)" = "$1" ] && return 0; sleep 0.1; done
  fail "the tunnel did not become $1: $reply"
}
table_has() { # (grep -q on a pipe would end nft early, and pipefail call that a failure)
  local rules
  rules=$(in_client nft list table inet vlvpn 2>/dev/null || true)
  [[ $rules == *"$1"* ]]
}

profile=$(printf 'client\\ndev tun\\ntls-client\\nnobind\\nremote 198.18.0.2 1194\\nproto udp\\nifconfig 10.8.0.2 10.8.0.1\\nca %s\\ncert %s\\nkey %s\\nremote-cert-tls server\\n' \
  "$work/pki/ca.crt" "$work/pki/client.crt" "$work/pki/client.key")
call saveOvpnProfile "[\"leak\",\"$profile\",\"leak.ovpn\",\"\"]"

echo "1. Connected, kill switch off, IPv6 block on (the default)"
call connectOvpn '["leak","","","leak.ovpn"]'
wait_for_state connected
burst "connected"
[ "$udp" -gt 0 ] && [ "$tunnel" -gt 0 ] || fail "traffic should flow both ways"
[ "$ipv6" -eq 0 ] || fail "IPv6 arrived while blocked"

echo "2. Kill switch on while connected"
call setKillSwitchEnabled '[true]'
for _ in $(seq 50); do table_has killswitch_out && break; sleep 0.1; done
burst "kill switch on"
[ "$udp" -eq 0 ] && [ "$tcp" -eq 0 ] && [ "$ipv6" -eq 0 ] || fail "traffic leaked outside the tunnel"
[ "$tunnel" -gt 0 ] || fail "nothing went through the tunnel"

echo "3. The tunnel dies (OpenVPN killed)"
pkill -9 -f -- "$work/state/openvpn/profile.conf" || fail "no OpenVPN of the service's"
for _ in $(seq 100); do [ "$(state)" != connected ] && break; sleep 0.05; done
burst "tunnel down"
[ "$udp" -eq 0 ] && [ "$tcp" -eq 0 ] && [ "$ipv6" -eq 0 ] || fail "traffic leaked while the tunnel was down"
table_has killswitch_out || fail "the kill switch is gone after the drop"

echo "4. The service is killed, then started again"
pkill -9 -f -- "vlvpn-killswitchd --socket $work/ks.sock"
sleep 0.2
burst "no service"
[ "$udp" -eq 0 ] && [ "$tcp" -eq 0 ] && [ "$ipv6" -eq 0 ] || fail "traffic leaked with the service gone"
in_client "$bin/vlvpn-killswitchd" --socket "$work/ks.sock" --group nogroup --state-dir "$work/state" \
  >>"$work/service.log" 2>&1 &
for _ in $(seq 100); do grep -q "restored: kill switch blocking" "$work/service.log" && break; sleep 0.05; done
grep -q "restored: kill switch blocking" "$work/service.log" || fail "the restarted service did not find its state"
burst "service restarted"
[ "$udp" -eq 0 ] && [ "$tcp" -eq 0 ] && [ "$ipv6" -eq 0 ] || fail "traffic leaked after the restart"

echo "5. The user disconnects (kill switch still on: traffic flows again)"
call disconnect '[]'
wait_for_state disconnected
for _ in $(seq 50); do table_has killswitch_out || break; sleep 0.1; done
burst "disconnected"
[ "$udp" -gt 0 ] && [ "$tcp" -gt 0 ] && [ "$ipv6" -gt 0 ] || fail "traffic should flow after a disconnect"
[[ $(in_client nft list tables) != *vlvpn* ]] || fail "rules left after the disconnect"
exec {DESK[1]}>&-
wait "$desk_pid" || true
echo "PASS"
