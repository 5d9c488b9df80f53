#!/usr/bin/env bash
# Server switch with the kill switch on, end to end and for real: connected on server A,
# connectOvpn to server B until getStatus says "connected", against bare OpenVPN (as
# root, no service, no kill switch) stopped on A and started on B until its log says
# the initialisation completed. Same profiles, servers and namespaces; rounds paired at
# the same random offset into a second (OpenVPN's timers run on whole seconds).
# Usage: switch_bench.sh <build bin folder> [rounds]; root only.
set -euo pipefail
bin=$(cd "${1:?build bin folder}" && pwd)
rounds=${2:-20}
here=$(cd "$(dirname "$0")" && pwd)
[ "$(id -u)" -eq 0 ] || { echo "needs root (network namespaces, nftables, tun)"; exit 77; }
source "$here/../testing/session_lib.sh"
now_ms() { echo $(($(date +%s%N) / 1000000)); }
to_offset() { # sleep to <ms> into the next second
  local into=$((10#$(date +%N) / 1000000))
  sleep "$(printf '0.%03d' $(((1000 + $1 - into) % 1000)))"
}

real_session sw
"$here/../testing/openvpn/pki.sh" "$work/pki" >/dev/null 2>&1
# Servers that push DNS: the switch sets the resolvers anew (bare OpenVPN ignores them).
start_pushing_server "$server" "$work/pki" "$work/server-a.log" "$work"
start_pushing_server "$server" "$work/pki" "$work/server-b.log" "$work" open 1195 10.9.0
start_service
start_desk env XDG_DATA_HOME="$work/data" VLVPN_KILLSWITCH_SOCKET="$work/ks.sock" \
  ip netns exec "$client" "$bin/VLVPNDesk" --stdio
for name in a b; do
  port=1194
  [ $name = a ] || port=1195
  profile=$(tunnel_profile "$work/pki" 198.18.0.2 "$port" pull)
  call saveOvpnProfile "[\"$name\",\"$profile\",\"$name.ovpn\",\"\"]"
  printf '%b' "$profile" >"$work/$name.ovpn"
done
call setKillSwitchEnabled '[true]'
connected_on() { # <profile>: connectOvpn until connected; ms taken in $took
  local start
  start=$(now_ms)
  call connectOvpn "[\"$1\",\"\",\"\",\"$1.ovpn\"]"
  wait_state connected 5000 0.002 || { echo "no tunnel to $1: $reply" >&2; exit 1; }
  took=$(($(now_ms) - start))
}
bare_pid=""
bare_on() { # <profile>: the running bare OpenVPN stopped, one on <profile> started until completed
  local start log=$work/bare-$1.log
  start=$(now_ms)
  if [ -n "$bare_pid" ]; then kill "$bare_pid"; while kill -0 "$bare_pid" 2>/dev/null; do sleep 0.002; done; fi
  : >"$log"
  ip netns exec "$client" openvpn --config "$work/$1.ovpn" --log "$log" --verb 3 &
  bare_pid=$!
  until grep -q "Initialization Sequence Completed" "$log"; do sleep 0.002; done
  took=$(($(now_ms) - start))
}

total_tunnel=0 total_bare=0
for round in $(seq "$rounds"); do
  offset=$((RANDOM % 1000))
  call disconnect '[]'
  connected_on a
  to_offset "$offset"
  connected_on b
  tunnel=$took
  call disconnect '[]'
  bare_on a
  to_offset "$offset"
  bare_on b
  bare=$took
  kill "$bare_pid"; wait "$bare_pid" 2>/dev/null || true; bare_pid=""
  total_tunnel=$((total_tunnel + tunnel)) total_bare=$((total_bare + bare))
  echo "round $round: switch A -> B with the kill switch on $tunnel ms, bare OpenVPN $bare ms"
done
call disconnect '[]'
stop_desk
echo "mean over $rounds rounds: $((total_tunnel / rounds)) ms vs bare $((total_bare / rounds)) ms;" \
  "ratio $(awk -v t="$total_tunnel" -v b="$total_bare" 'BEGIN { printf "%.3f", t / b }')"
