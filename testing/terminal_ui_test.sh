#!/usr/bin/env bash
# The terminal interface as a person uses it, in tmux: import a profile, press c, see
# "connected" and OpenVPN's pid, press q, and find no OpenVPN left. A loopback OpenVPN
# server (dev null) and fake-killswitch in the service's role, as in the plain demo.
# Usage: terminal_ui_test.sh <build bin folder>; exit 77 (skipped) without tmux or node.
set -euo pipefail
bin=$(cd "${1:?build bin folder}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
for tool in tmux node openvpn; do command -v "$tool" >/dev/null || { echo "skipped: no $tool"; exit 77; }; done
work=$(mktemp -d /tmp/vlvpn-tui.XXXXXX)
session=vlvpn-tui-$$
port=$((20000 + $$ % 20000))
cleanup() {
  tmux kill-session -t "$session" 2>/dev/null || true
  pkill -f -- "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; echo "--- screen" >&2; tmux capture-pane -p -t "$session" >&2 || true; exit 1; }
screen() { tmux capture-pane -p -t "$session"; }
wait_for() { # text [seconds]
  for _ in $(seq $((${2:-20} * 10))); do [[ $(screen) == *"$1"* ]] && return 0; sleep 0.1; done
  fail "waited for \"$1\""
}

"$here/openvpn/pki.sh" "$work/pki" >/dev/null 2>&1
openvpn --dev null --tls-server --dh none --ca "$work/pki/ca.crt" --cert "$work/pki/server.crt" \
  --key "$work/pki/server.key" --proto udp --lport "$port" --log "$work/server.log" --daemon
"$bin/fake-killswitch" --pipe "$work/ks.sock" --record "$work/service.txt" >/dev/null 2>&1 &
disown
printf 'client\ndev null\ntls-client\nnobind\nremote 127.0.0.1 %s\nproto udp\nca %s\ncert %s\nkey %s\nremote-cert-tls server\n' \
  "$port" "$work/pki/ca.crt" "$work/pki/client.crt" "$work/pki/client.key" >"$work/home.ovpn"
for _ in $(seq 50); do [ -S "$work/ks.sock" ] && break; sleep 0.1; done
# The file picker: a zenity that "chooses" a second profile.
mkdir -p "$work/bin"
cp "$work/home.ovpn" "$work/office.ovpn"
printf '#!/bin/sh\necho "%s"\n' "$work/office.ovpn" >"$work/bin/zenity"
chmod +x "$work/bin/zenity"

tmux new-session -d -s "$session" -x 120 -y 30 \
  "PATH='$work/bin':\$PATH XDG_DATA_HOME='$work/data' VLVPN_KILLSWITCH_SOCKET='$work/ks.sock' VLVPN_DESK='$bin/VLVPNDesk' \
   node '$here/../ui/terminal/main.js' --import '$work/home.ovpn'; echo \"ui exited \$?\"; sleep 60"
wait_for "1. * home (127.0.0.1:$port)"
wait_for "disconnected"
tmux send-keys -t "$session" i
wait_for "2. * office"
tmux send-keys -t "$session" 1 c
wait_for "connected  to home" 30
[[ $(screen) =~ pid\ ([0-9]+) ]] || fail "no pid shown"
pid=${BASH_REMATCH[1]}
kill -0 "$pid" 2>/dev/null || fail "the pid shown ($pid) is no running process"
tmux send-keys -t "$session" q
wait_for "ui exited 0"
kill -0 "$pid" 2>/dev/null && fail "OpenVPN ($pid) still runs after q"
pgrep -f -- "--config $work/data" >/dev/null && fail "an OpenVPN of the interface's is left"

# Plain lines (--for): a profile that needs a password is asked on the terminal there
# too, and without a terminal the connect says so; either way --for ends the run.
sed 's/^client$/client\nauth-user-pass/' "$work/home.ovpn" >"$work/login.ovpn"
run_ui=(env XDG_DATA_HOME="$work/data" VLVPN_KILLSWITCH_SOCKET="$work/ks.sock" VLVPN_DESK="$bin/VLVPNDesk"
  node "$here/../ui/terminal/main.js")
timeout 30 "${run_ui[@]}" --import "$work/login.ovpn" --for 2 </dev/null >"$work/plain.txt" 2>&1 ||
  fail "no terminal: the run did not end by itself ($(cat "$work/plain.txt"))"
grep -q "no terminal to ask" "$work/plain.txt" || fail "no terminal: $(cat "$work/plain.txt")"
tmux kill-session -t "$session"
tmux new-session -d -s "$session" -x 120 -y 30 \
  "$(printf '%q ' "${run_ui[@]}") --profile login --for 6; echo \"ui exited \$?\"; sleep 60"
wait_for "Username for login:"
tmux send-keys -t "$session" velunor Enter
wait_for "Password (not shown):"
tmux send-keys -t "$session" secret Enter
wait_for "Connecting to login..." 20
wait_for "ui exited 0" 20
echo "PASS"
