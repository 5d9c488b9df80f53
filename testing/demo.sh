#!/usr/bin/env bash
# A real tunnel, end to end, driven the way the interface drives VLVPNDesk: a loopback
# OpenVPN server, a profile saved through the bridge, connect, status until connected,
# latency and traffic, disconnect, and what landed on disk and reached the service.
# Usage: testing/demo.sh <build bin folder>
set -euo pipefail
bin=$(cd "${1:?build bin folder}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/vlvpn-demo.XXXXXX)
cleanup() {
  pkill -f -- "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

show() { printf '%s\n' "$*"; }
port=11994

show "== Velunor VPN native side: a real OpenVPN tunnel (work folder $work)"
"$here/openvpn/pki.sh" "$work/pki" >/dev/null
show "A loopback OpenVPN server (TLS, EC P-256 certificates made just now) on UDP port $port."
openvpn --dev null --tls-server --dh none --ca "$work/pki/ca.crt" --cert "$work/pki/server.crt" \
  --key "$work/pki/server.key" --proto udp --lport "$port" --log "$work/server.log" >/dev/null 2>&1 &
show "The kill-switch service is played by fake-killswitch on $work/ks.sock; it really starts OpenVPN."
"$bin/fake-killswitch" --pipe "$work/ks.sock" --record "$work/service-commands.txt" >/dev/null 2>&1 &
for _ in $(seq 50); do [ -S "$work/ks.sock" ] && break; sleep 0.1; done

coproc DESK { XDG_DATA_HOME=$work/data VLVPN_KILLSWITCH_SOCKET=$work/ks.sock exec "$bin/VLVPNDesk" --stdio; }
desk_pid=$DESK_PID
IFS= read -r -t 10 hello <&"${DESK[0]}"
show "VLVPNDesk --stdio answered: $(printf '%s' "$hello" | cut -c1-100)..."

id=0
call() { # method args-json [quiet]
  id=$((id + 1))
  local request="{\"id\":$id,\"module\":\"VLVPNTunnel\",\"method\":\"$1\",\"args\":$2}"
  [ "${3:-}" = quiet ] || show "  -> $1 $2"
  printf '%s\n' "$request" >&"${DESK[1]}"
  IFS= read -r -t 60 reply <&"${DESK[0]}" || { echo "no answer from VLVPNDesk" >&2; exit 1; }
  [ "${3:-}" = quiet ] || show "  <- $reply"
}

config=$(printf 'client\\ndev null\\ntls-client\\nnobind\\nremote 127.0.0.1 %s\\nproto udp\\nca %s\\ncert %s\\nkey %s\\nremote-cert-tls server\\n' \
  "$port" "$work/pki/ca.crt" "$work/pki/client.crt" "$work/pki/client.key")
show ""
show "== Save the profile"
call saveOvpnProfile "[\"home\",\"$config\",\"home.ovpn\",\"\"]"
call saveOvpnProfileMeta '["home","{\"name\":\"Home server\"}"]'
call listSavedOvpnProfiles '[]'

show ""
show "== Connect and follow the tunnel"
start=$(date +%s%N)
call connectOvpn '["home","","","home.ovpn"]'
state=""
for _ in $(seq 100); do
  call getStatus '[]' quiet
  state=$(printf '%s' "$reply" | sed -n 's/.*"state":"\([a-z]*\)".*/\1/p')
  [ "$state" = connected ] && break
  sleep 0.2
done
show "  <- getStatus: $reply"
show "  connected after $(( ($(date +%s%N) - start) / 1000000 )) ms"
[ "$state" = connected ] || { show "the tunnel did not come up; OpenVPN's log:"; tail -5 "$work/data/VLVPNDesk/profiles/home/openvpn.log"; exit 1; }
call measureTcpLatency "[\"127.0.0.1\",$port]"
call getTrafficStats '[]'

show ""
show "== On disk while connected"
(cd "$work/data" && find VLVPNDesk -printf '  %m %p\n' | sort -k2)  # modes: the user's alone
show "  active.txt: $(cat "$work/data/VLVPNDesk/active.txt")"
show "  last lines of OpenVPN's log:"
tail -3 "$work/data/VLVPNDesk/profiles/home/openvpn.log" | sed 's/^/    /'

show ""
show "== Disconnect"
call disconnect '[]'
call getStatus '[]'
show "  active.txt left: $([ -e "$work/data/VLVPNDesk/active.txt" ] && echo yes || echo no)"
show "  OpenVPN clients still running: $(pgrep -f -- "$work/data" | wc -l)"

show ""
show "== What the kill-switch service was told"
sed 's/\t/ <TAB> /g; s/^/  /' "$work/service-commands.txt" | cut -c1-160

eval "exec ${DESK[1]}>&-"
status=0
wait "$desk_pid" || status=$?
show ""
show "End of input: VLVPNDesk exited with $status."
exit "$status"
