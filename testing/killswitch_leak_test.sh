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
for tool in ip nft openvpn setfacl dnsmasq getent; do command -v "$tool" >/dev/null || { echo "skipped: no $tool"; exit 77; }; done

source "$here/session_lib.sh"
real_session leak
in_client() { ip netns exec "$client" "$@"; }
in_server() { ip netns exec "$server" "$@"; }
fail() {
  echo "FAIL: $*" >&2
  echo "--- service log" >&2
  cat "$work/service.log" >&2 || true
  for log in "$work"/data/VLVPNDesk/profiles/*/openvpn.log "$work"/server*.log; do
    echo "--- $log" >&2
    tail -15 "$log" >&2 || true
  done
  exit 1
}

# What reaches the server's namespace from outside the tunnel and through it.
in_server nft -f - <<NFT
table inet count {
  counter outside_udp {}
  counter outside_tcp {}
  counter outside_ipv6 {}
  counter tunnel {}
  counter steady {}
  counter outside_dns {}
  chain input {
    type filter hook input priority -10; policy accept;
    iifname "$server_link" ip daddr 198.18.0.2 udp dport 9998 counter name "steady"
    iifname "$server_link" ip daddr 198.18.0.2 udp dport 9999 counter name "outside_udp"
    iifname "$server_link" ip daddr 198.18.0.2 tcp dport 9999 counter name "outside_tcp"
    iifname "$server_link" ip6 nexthdr { udp, tcp } counter name "outside_ipv6"
    iifname "tun*" udp dport 9999 counter name "tunnel"
    iifname "$server_link" ip daddr 198.18.0.2 meta l4proto { udp, tcp } th dport 53 counter name "outside_dns"
  }
}
NFT
count() { in_server nft list counter inet count "$1" | awk '/packets/ { print $2 }'; }
reset_counts() { in_server nft reset counters table inet count >/dev/null; }

# matches <count> <0|+|->: none arrived, some did, or either.
matches() { case $2 in 0) [ "$1" -eq 0 ] ;; +) [ "$1" -gt 0 ] ;; *) true ;; esac; }

# burst <label> <outside UDP> <outside TCP> <IPv6> <through the tunnel>: a burst of each
# kind from the client's namespace (sends the kill switch refuses fail), and what must
# have arrived of each, as for matches.
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
  matches "$udp" "$2" && matches "$tcp" "$3" && matches "$ipv6" "$4" && matches "$tunnel" "$5" ||
    fail "$1: outside UDP, TCP, IPv6 and through the tunnel should be $2 $3 $4 $5"
}

"$here/openvpn/pki.sh" "$work/pki" >/dev/null 2>&1
start_pushing_server "$server" "$work/pki" "$work/server.log" "$work" password
start_tunnel_server "$server" "$work/pki" "$work/server-b.log" 1195 10.9.0
start_dns_servers "$server" "$work"
resolver_before=$(cat "/etc/netns/$client/resolv.conf")
# The unprivileged user below is uid 4545: none of the service tests' users, whose
# processes one of those tests stops, and which may run beside this test.
# lookup <label> <address> <0|+>: an unprivileged user's lookup of the test name gets the
# address ("none" for nothing), and the queries that reach the outside DNS server match.
lookup() {
  in_server nft reset counter inet count outside_dns >/dev/null
  answer=$(in_client setpriv --reuid=4545 --regid=4545 --clear-groups getent hosts test.velunor.example |
    awk '{ print $1 }' || true)
  answer=${answer:-none}
  outside_dns=$(count outside_dns)
  echo "  lookup ($1): test.velunor.example is $answer; $outside_dns queries reached the outside DNS server"
  [ "$answer" = "$2" ] && matches "$outside_dns" "$3" || fail "lookup ($1): $2 expected, outside queries $3"
}

start_service

start_desk env XDG_DATA_HOME="$work/data" VLVPN_KILLSWITCH_SOCKET="$work/ks.sock" \
  ip netns exec "$client" "$bin/VLVPNDesk" --stdio || fail "VLVPNDesk did not start"
wait_for_state() { wait_state "$1" 150 0.1 || fail "the tunnel did not become $1: $reply"; }
table_has() { # (grep -q on a pipe would end nft early, and pipefail call that a failure)
  local rules
  rules=$(in_client nft list table inet vlvpn 2>/dev/null || true)
  [[ $rules == *"$1"* ]]
}

profile=$(tunnel_profile "$work/pki" 198.18.0.2 1194 pull)
call saveOvpnProfile "[\"leak\",\"$profile\",\"leak.ovpn\",\"\"]"
profile=$(tunnel_profile "$work/pki" 198.18.0.2 1195 10.9.0)
call saveOvpnProfile "[\"other\",\"$profile\",\"other.ovpn\",\"\"]"
profile=$(tunnel_profile "$work/pki" vpn.velunor.invalid 1194)
call saveOvpnProfile "[\"nameless\",\"$profile\",\"nameless.ovpn\",\"\"]"
profile=$(tunnel_profile "$work/pki" 198.18.0.2 1999)
call saveOvpnProfile "[\"dead\",\"$profile\",\"dead.ovpn\",\"\"]"

connect_a='["leak","velunor","right","leak.ovpn"]'

# An unprivileged user's datagram every 5 ms to an address outside the tunnel, from the
# moment the kill switch is on to the user's disconnect; each one sent is counted.
start_steady_sender() {
  touch "$work/sending"
  in_client setpriv --reuid=4545 --regid=4545 --clear-groups bash -c '
    sent=0
    while [ -e "$1/sending" ]; do
      echo steady 2>/dev/null >/dev/udp/198.18.0.2/9998 && true
      sent=$((sent + 1))
      sleep 0.005
    done
    echo "$sent"' _ "$work" >"$work/sent" &
  sender_pid=$!
}
stop_steady_sender() {
  rm -f "$work/sending"
  wait "$sender_pid" || true
}

echo "0. No tunnel, kill switch off"
burst "no tunnel" + + - -

echo "1. Connected, kill switch off, IPv6 block on (the default)"
call connectOvpn "$connect_a"
wait_for_state connected
burst "connected" + - 0 +
openvpn_pid=$(pgrep -f -- "$work/state/openvpn/profile.conf") || fail "no OpenVPN of the service's"
echo "  OpenVPN runs as $(openvpn_identity "$openvpn_pid")"
[[ $(awk '/^Uid:/ { print $2 }' "/proc/$openvpn_pid/status") != 0 ]] || fail "OpenVPN runs as root"
lookup "tunnel up, kill switch off" 198.18.5.5 0

echo "2. Kill switch on while connected"
call setKillSwitchEnabled '[true]'
for _ in $(seq 50); do table_has killswitch_out && break; sleep 0.1; done
in_server nft reset counter inet count steady >/dev/null
start_steady_sender
burst "kill switch on" 0 0 0 +
lookup "tunnel up, kill switch on" 198.18.5.5 0

echo "2b. Switching servers, a refused login, a name that does not resolve, a server that does not answer"
call connectOvpn '["other","","","other.ovpn"]'
wait_for_state connected
burst "switched to the second server" 0 0 0 -
[ "$(cat "/etc/netns/$client/resolv.conf")" = "$resolver_before" ] || fail "the resolvers stayed after the switch"
call connectOvpn '["leak","velunor","wrong","leak.ovpn"]'
wait_state disconnected 100 0.1 || true
echo "  refused login: $state, $(printf '%s' "$reply" | grep -o '"message":"[^"]*"' || true)"
[ "$state" = disconnected ] || fail "a refused login did not end the attempt"
for failing in nameless dead; do
  call connectOvpn "[\"$failing\",\"\",\"\",\"$failing.ovpn\"]"
  sleep 3
  tunnel_state
  echo "  $failing: $state"
done
call connectOvpn "$connect_a"
wait_for_state connected

echo "2c. OpenVPN restarts into a server that pushes no DNS"
[ "$(cat "/etc/netns/$client/resolv.conf")" != "$resolver_before" ] || fail "the tunnel's resolvers are not set"
pkill -f -- "--log $work/server.log"
sleep 0.2
start_pushing_server "$server" "$work/pki" "$work/server-nodns.log" "$work" password 1194 10.8.0 nodns
none_before=$(grep -c "none pushed" "$work/service.log" || true)
pkill -USR1 -f -- "$work/state/openvpn/profile.conf"
for _ in $(seq 100); do [ "$(grep -c "none pushed" "$work/service.log")" -gt "$none_before" ] && break; sleep 0.1; done
[ "$(grep -c "none pushed" "$work/service.log")" -gt "$none_before" ] || fail "OpenVPN did not come up again"
[ "$(cat "/etc/netns/$client/resolv.conf")" = "$resolver_before" ] || fail "the last connection's resolvers stayed"
pkill -f -- "--log $work/server-nodns.log"
sleep 0.2
start_pushing_server "$server" "$work/pki" "$work/server.log" "$work" password

echo "3. The tunnel dies (OpenVPN killed)"
pkill -9 -f -- "$work/state/openvpn/profile.conf" || fail "no OpenVPN of the service's"
for _ in $(seq 100); do tunnel_state && [ "$state" != connected ] && break; sleep 0.05; done
burst "tunnel down" 0 0 0 -
table_has killswitch_out || fail "the kill switch is gone after the drop"

echo "4. The service and its OpenVPN are killed, then the service is started again"
call connectOvpn "$connect_a"
wait_for_state connected
[ "$(cat "/etc/netns/$client/resolv.conf")" != "$resolver_before" ] || fail "the tunnel's resolvers are not set"
pkill -9 -f -- "vlvpn-killswitchd --socket $work/ks.sock"
pkill -9 -f -- "$work/state/openvpn/profile.conf"
sleep 0.2
burst "no service" 0 0 0 -
start_service
for _ in $(seq 100); do grep -q "restored: kill switch blocking" "$work/service.log" && break; sleep 0.05; done
grep -q "restored: kill switch blocking" "$work/service.log" || fail "the restarted service did not find its state"
[ "$(cat "/etc/netns/$client/resolv.conf")" = "$resolver_before" ] || fail "the resolvers were not put back"
burst "service restarted" 0 0 0 -
call connectOvpn "$connect_a"
wait_for_state connected
burst "reconnected" 0 0 0 +

stop_steady_sender
steady=$(in_server nft list counter inet count steady | awk '/packets/ { print $2 }')
echo "  steady sender: $(cat "$work/sent") datagrams sent in all of 2-4, $steady arrived outside the tunnel"
[ "$steady" -eq 0 ] || fail "$steady datagrams leaked while the kill switch was on"

echo "5. The user disconnects (kill switch still on: traffic flows again)"
call disconnect '[]'
wait_for_state disconnected
for _ in $(seq 50); do table_has killswitch_out || break; sleep 0.1; done
burst "disconnected" + + + -
[[ $(in_client nft list tables) != *vlvpn* ]] || fail "rules left after the disconnect"
[ "$(cat "/etc/netns/$client/resolv.conf")" = "$resolver_before" ] || fail "the resolvers stayed after the disconnect"
lookup "disconnected" 198.18.6.6 +
stop_desk
echo "PASS"
