#!/usr/bin/env bash
# Drives VLVPNDesk --stdio the way the interface does and shows what lands on disk.
# Usage: testing/demo.sh <path to VLVPNDesk>
set -euo pipefail
desk=${1:?path to VLVPNDesk}
data=$(mktemp -d /tmp/vlvpn-demo.XXXXXX)
trap 'rm -rf "$data"' EXIT

coproc DESK { XDG_DATA_HOME=$data exec "$desk" --stdio; }
desk_pid=$DESK_PID

show() { printf '%s\n' "$*"; }
reply() {
  local line
  IFS= read -r -t 10 line <&"${DESK[0]}" || { echo "no answer from VLVPNDesk" >&2; exit 1; }
  show "  <- $line"
}
call() {
  show "  -> $1"
  printf '%s\n' "$1" >&"${DESK[1]}"
  reply
}

show "Velunor VPN native side: the module bridge over stdio (data folder: $data)"
show ""
show "hello (modules, methods, events, constants):"
IFS= read -r -t 10 hello <&"${DESK[0]}"
printf '%s\n' "$hello" | python3 -m json.tool 2>/dev/null | sed 's/^/  /' || show "  $hello"

show ""
show "Save a profile, its metadata and credentials:"
call '{"id":1,"module":"VLVPNTunnel","method":"saveOvpnProfile","args":["home","client\ndev tun\nremote vpn.example.net 1194 udp\nauth-user-pass\n","home.ovpn",""]}'
call '{"id":2,"module":"VLVPNTunnel","method":"saveOvpnProfileMeta","args":["home","{\"name\":\"Home server\",\"country\":\"NL\"}"]}'
call '{"id":3,"module":"VLVPNTunnel","method":"saveOvpnAuth","args":["home","alice","correct horse"]}'

show ""
show "Files on disk:"
(cd "$data" && find VLVPNDesk -type f | sort | while read -r f; do
  printf '  %s (%s bytes)\n' "$f" "$(stat -c %s "$f")"
done)
show "  auth.txt bytes: $(od -An -c "$data/VLVPNDesk/profiles/home/auth.txt" | tr -s ' ' | tr -d '\n')"

show ""
show "List and read back:"
call '{"id":4,"module":"VLVPNTunnel","method":"listSavedOvpnProfiles","args":[]}'
call '{"id":5,"module":"VLVPNTunnel","method":"readOvpnAuth","args":["home"]}'

show ""
show "Preferences, device name, and what is refused:"
call '{"id":6,"module":"VLVPNTunnel","method":"writeUserDefaults","args":["theme","dark"]}'
call '{"id":7,"module":"VLVPNTunnel","method":"readUserDefaults","args":["theme"]}'
call '{"id":8,"module":"VLVPNTunnel","method":"getDeviceMarketingName","args":[]}'
call '{"id":9,"module":"VLVPNTunnel","method":"deleteOvpnProfile","args":[".."]}'
call '{"id":10,"module":"VLVPNTunnel","method":"promptVpnAuth","args":["u","p"]}'
call '{"id":11,"module":"VLVPNTunnel","method":"connectOvpn","args":["home","alice","correct horse","home.ovpn"]}'
call 'this line is not JSON'

show ""
show "Delete the profile:"
call '{"id":12,"module":"VLVPNTunnel","method":"deleteOvpnProfile","args":["home"]}'
call '{"id":13,"module":"VLVPNTunnel","method":"listSavedOvpnProfiles","args":[]}'
show "  profiles folder now holds: [$(ls -A "$data/VLVPNDesk/profiles")]"

eval "exec ${DESK[1]}>&-"
status=0
wait "$desk_pid" || status=$?
show ""
show "End of input: VLVPNDesk exited with $status."
exit "$status"
