#!/usr/bin/env bash
# The Debian package on this machine (root): installed, its files where it says, the
# group and OpenVPN's account made, the service run from its installed path with the
# installed unit's command (by hand in a network namespace of the test's own where
# systemd is not PID 1), VLVPNDesk saying hello; then purged, and nothing of it left:
# the listing of /usr, /lib, /etc and /var/lib is as before. Whatever happens, the
# machine is left as it was found.
# Usage: package_deb_test.sh <deb>
set -euo pipefail
deb=$(realpath "${1:?deb}")
[ "$(id -u)" -eq 0 ] || { echo "needs root (dpkg)"; exit 77; }
if dpkg-query -W -f='${Status}' velunor-vpn 2>/dev/null | grep -q installed; then
  echo "velunor-vpn is installed here already: not touching it" >&2
  exit 1
fi
work=$(mktemp -d /tmp/vlvpn-deb.XXXXXX)
ns=vlvpn-deb-$$
daemon=""
# The purge takes the group, the account and the tun ACL away: what the machine had of
# them before (the other tests make the account) is put back as it was.
group_before=$(getent group vlvpn || true)
account_before=$(getent passwd vlvpn-openvpn || true)
account_group_before=$(getent group vlvpn-openvpn || true)
[ ! -e /dev/net/tun ] || getfacl -p /dev/net/tun >"$work/tun.acl" 2>/dev/null || true
restore_machine() {
  local gid uid home shell
  if [ -n "$group_before" ] && ! getent group vlvpn >/dev/null; then
    groupadd --system -g "$(cut -d: -f3 <<<"$group_before")" vlvpn
  fi
  if [ -n "$account_group_before" ] && ! getent group vlvpn-openvpn >/dev/null; then
    groupadd --system -g "$(cut -d: -f3 <<<"$account_group_before")" vlvpn-openvpn
  fi
  if [ -n "$account_before" ] && ! getent passwd vlvpn-openvpn >/dev/null; then
    IFS=: read -r _ _ uid gid _ home shell <<<"$account_before"
    useradd --system -u "$uid" -g "$gid" -d "$home" -M -s "$shell" vlvpn-openvpn
  fi
  [ ! -s "$work/tun.acl" ] || setfacl --restore="$work/tun.acl" 2>/dev/null || true
}
cleanup() {
  [ -z "$daemon" ] || { kill "$daemon" 2>/dev/null; wait "$daemon" 2>/dev/null || true; }
  ip netns del "$ns" 2>/dev/null || true
  if dpkg-query -W -f='${Status}' velunor-vpn 2>/dev/null | grep -q -v not-installed; then
    dpkg --purge velunor-vpn >/dev/null 2>&1 || true
  fi
  restore_machine
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
listing() {
  find /usr /lib /etc /var/lib -xdev \( -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/lib/ucf \
    -o -path /etc/ld.so.cache -o -path /usr/lib/python3/dist-packages -o -name __pycache__ \) -prune -o -print |
    sort
}
# Its dependencies come first, so that the listings differ only by the package.
deps=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed -e 's/([^)]*)//' -e 's/|.*//' -e 's/ //g' | grep -v '^$')
missing=()
for dep in $deps; do dpkg-query -W -f='${Status}' "$dep" 2>/dev/null | grep -q 'install ok installed' || missing+=("$dep"); done
[ ${#missing[@]} -eq 0 ] ||
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
listing >"$work/before"

dpkg -i "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; fail "dpkg -i"; }
while IFS= read -r path; do
  [ -e "$path" ] || fail "the package lists $path, which is not there"
done < <(dpkg -L velunor-vpn)
for path in /usr/lib/velunor-vpn/VLVPNDesk /usr/sbin/vlvpn-killswitchd /usr/sbin/vlvpn-dns-helper /usr/bin/velunor-vpn; do
  [ -x "$path" ] || fail "$path is not an installed program"
done
getent group vlvpn >/dev/null || fail "no group vlvpn"
getent passwd vlvpn-openvpn >/dev/null || fail "no account vlvpn-openvpn"
[ -d /run/vlvpn ] || fail "tmpfiles made no /run/vlvpn"

unit=/lib/systemd/system/vlvpn-killswitch.service
command=$(sed -n 's/^ExecStart=//p' "$unit")
[ "${command%% *}" = /usr/sbin/vlvpn-killswitchd ] || fail "the unit starts '$command'"
if [ -d /run/systemd/system ]; then
  systemctl is-active --quiet vlvpn-killswitch.socket || fail "the socket unit is not active"
  socket=/run/VLVPNKillSwitch.sock
else
  # The unit's command, with a socket of the test's own; its firewall in its own namespace.
  ip netns add "$ns"
  socket=$work/ks.sock
  # shellcheck disable=SC2086
  ip netns exec "$ns" $command --socket "$socket" --state-dir "$work/state" --dns-state-dir "$work/dns" \
    --resolv-conf "$work/resolv.conf" >"$work/service.log" 2>&1 &
  daemon=$!
  for _ in $(seq 100); do [ -S "$socket" ] && break; sleep 0.05; done
fi
answer=$(python3 -c 'import socket,sys
s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1]); s.sendall(b"PING\n"); print(s.recv(64).decode().strip())' \
  "$socket") || fail "no answer from the service: $(cat "$work/service.log" 2>/dev/null)"
[ "$answer" = PONG ] || fail "the service answered '$answer'"
hello=$(HOME=$work XDG_DATA_HOME=$work/data /usr/lib/velunor-vpn/VLVPNDesk --stdio </dev/null | head -1)
case $hello in *'"hello"'*'"appDisplayName":"Velunor VPN"'*) ;; *) fail "no hello from VLVPNDesk: $hello" ;; esac
if [ -n "$daemon" ]; then kill "$daemon"; wait "$daemon" 2>/dev/null || true; daemon=""; fi

dpkg --purge velunor-vpn >"$work/purge.log" 2>&1 || { cat "$work/purge.log" >&2; fail "dpkg --purge"; }
! getent group vlvpn >/dev/null || fail "the group vlvpn is left"
! getent passwd vlvpn-openvpn >/dev/null || fail "the account vlvpn-openvpn is left"
listing >"$work/after"
left=$(comm -13 "$work/before" "$work/after")
gone=$(comm -23 "$work/before" "$work/after")
[ -z "$left$gone" ] || fail "the purge left the system changed: left $left; gone $gone"
echo "deb: installed, service and VLVPNDesk answered, purged without a trace ($(stat -c %s "$deb") bytes)"
