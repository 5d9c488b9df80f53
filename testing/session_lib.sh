# Sourced by the demo and the leak test: VLVPNDesk --stdio driven as the interface
# drives it, and two network namespaces of our own for a real tunnel.

# start_desk <env and command...>: VLVPNDesk as a coprocess DESK; sets desk_pid.
start_desk() {
  coproc DESK { exec "$@" 2>/dev/null; }
  desk_pid=$DESK_PID
  IFS= read -r -t 10 hello <&"${DESK[0]}" || { echo "no hello from VLVPNDesk" >&2; return 1; }
  call_id=0
}

# call <method> <args-json>: a VLVPNTunnel call; its answer in $reply.
call() {
  call_id=$((call_id + 1))
  printf '{"id":%d,"module":"VLVPNTunnel","method":"%s","args":%s}\n' "$call_id" "$1" "$2" >&"${DESK[1]}"
  while IFS= read -r -t 60 reply <&"${DESK[0]}"; do
    case $reply in *"\"id\":$call_id,"* | *"\"id\":$call_id}"*) return 0 ;; esac
  done
  echo "no answer to $1 from VLVPNDesk" >&2
  return 1
}

# tunnel_state: getStatus; the state word in $state (not in a subshell: ids count on;
# no child process either, so that polling it is as quick as the benchmark needs).
tunnel_state() {
  call getStatus '[]' || return 1
  state=""
  if [[ $reply =~ \"state\":\"([a-z]*)\" ]]; then state=${BASH_REMATCH[1]}; fi
}

# wait_state <state> <tries> <pause>: getStatus until the state is <state>; false when
# it never came.
wait_state() {
  local _
  for _ in $(seq "$2"); do
    tunnel_state && [ "$state" = "$1" ] && return 0
    sleep "$3"
  done
  return 1
}

# stop_desk: end of input, and VLVPNDesk's exit code in $desk_status.
stop_desk() {
  exec {DESK[1]}>&-
  desk_status=0
  wait "$desk_pid" || desk_status=$?
}

# make_namespaces <client> <server>: joined by a veth pair; 198.18.0.1 and 2001:2::1 in
# the client's, 198.18.0.2 and 2001:2::2 in the server's (benchmarking ranges).
make_namespaces() {
  local client=$1 server=$2 tag=$$
  ip netns add "$client"
  ip netns add "$server"
  ip link add "vlc$tag" type veth peer name "vls$tag"
  ip link set "vlc$tag" netns "$client"
  ip link set "vls$tag" netns "$server"
  ip -n "$client" addr add 198.18.0.1/24 dev "vlc$tag"
  ip -n "$server" addr add 198.18.0.2/24 dev "vls$tag"
  ip -n "$client" -6 addr add 2001:2::1/64 dev "vlc$tag" nodad
  ip -n "$server" -6 addr add 2001:2::2/64 dev "vls$tag" nodad
  for ns in "$client" "$server"; do ip -n "$ns" link set lo up; done
  ip -n "$client" link set "vlc$tag" up
  ip -n "$server" link set "vls$tag" up
  server_link=vls$tag
}

remove_namespaces() {
  for ns in "$@"; do
    ip netns pids "$ns" 2>/dev/null | xargs -r kill -9 2>/dev/null || true
    ip netns del "$ns" 2>/dev/null || true
  done
}

# start_tunnel_server <namespace> <pki folder> <log> [port [net]]: a point-to-point
# OpenVPN server on UDP <port> (1194) of the namespace, tunnel <net>.1 <-> <net>.2
# (10.8.0); --float lets a client that comes back from a new port in at once.
start_tunnel_server() {
  local port=${4:-1194} net=${5:-10.8.0}
  ip netns exec "$1" openvpn --dev tun --ifconfig "$net.1" "$net.2" --tls-server --dh none --ca "$2/ca.crt" \
    --cert "$2/server.crt" --key "$2/server.key" --proto udp --lport "$port" --float --log "$3" --daemon
}

# start_pushing_server <namespace> <pki folder> <log> <work folder> [password|open
# [port [net [nodns]]]]: a client-server OpenVPN server on UDP <port> (1194; tunnel
# <net>.0/24, 10.8.0, itself .1) that pushes itself as the DNS server (unless "nodns");
# with "password", it lets in password "right" only.
start_pushing_server() {
  local login=() port=${6:-1194} net=${7:-10.8.0} push=()
  [ "${8:-}" = nodns ] || push=(--push "dhcp-option DNS $net.1" --push "dhcp-option DOMAIN velunor.test")
  if [ "${5:-}" = password ]; then
    printf '#!/bin/sh\n{ read -r user; read -r password; } <"$1"\n[ "$password" = right ]\n' >"$4/verify.sh"
    chmod 755 "$4/verify.sh"
    login=(--script-security 2 --auth-user-pass-verify "$4/verify.sh" via-file --tmp-dir "$4")
  fi
  ip netns exec "$1" openvpn --server "$net.0" 255.255.255.0 --topology subnet --dev tun --dh none \
    --ca "$2/ca.crt" --cert "$2/server.crt" --key "$2/server.key" --proto udp --lport "$port" \
    "${push[@]}" "${login[@]}" --log "$3" --daemon
}

# start_dns_servers <namespace> <work folder>: test.velunor.example is 198.18.5.5 to the
# DNS server behind the tunnel (10.8.0.1) and 198.18.6.6 to the one outside (198.18.0.2).
start_dns_servers() {
  local where answer
  for where in 10.8.0.1/198.18.5.5 198.18.0.2/198.18.6.6; do
    answer=${where#*/}
    ip netns exec "$1" dnsmasq --no-resolv --no-hosts --bind-dynamic --listen-address="${where%/*}" \
      --address=/test.velunor.example/"$answer" --user=root --pid-file="$2/dnsmasq-$answer.pid" \
      --log-facility=- 2>/dev/null
  done
}

# tunnel_profile <pki folder> [remote [port [net]]]: the client's profile for such a
# server (198.18.0.2 1194 10.8.0; net "pull" for the pushing server), as a JSON
# string's contents.
tunnel_profile() {
  local addresses
  [ "${4:-10.8.0}" = pull ] || addresses="ifconfig ${4:-10.8.0}.2 ${4:-10.8.0}.1\\n"
  printf 'client\\ndev tun\\ntls-client\\nnobind\\nremote %s %s\\nproto udp\\n%sca %s\\ncert %s\\nkey %s\\nremote-cert-tls server\\n' \
    "${2:-198.18.0.2}" "${3:-1194}" "${addresses:-}" "$1/ca.crt" "$1/client.crt" "$1/client.key"
}

# real_session <name>: a work folder, OpenVPN's account with the tun device, namespaces
# $client and $server joined by a veth pair, and the client's resolver file naming the
# outside DNS server (198.18.0.2); all of it undone when the script exits.
real_session() {
  work=$(mktemp -d "/tmp/vlvpn-$1.XXXXXX")
  chmod 755 "$work"
  client=vlvpn-$1-c$$
  server=vlvpn-$1-s$$
  trap end_real_session EXIT
  ensure_openvpn_account || { echo "cannot make the account vlvpn-openvpn" >&2; return 1; }
  grant_tun
  make_namespaces "$client" "$server"
  mkdir -p "/etc/netns/$client"  # laid over /etc/resolv.conf by `ip netns exec`
  printf 'nameserver 198.18.0.2\n' >"/etc/netns/$client/resolv.conf"
}
end_real_session() {
  remove_namespaces "$client" "$server"
  rm -rf "/etc/netns/$client"
  revoke_tun
  rm -rf "$work"
}

# start_service: vlvpn-killswitchd in the client's namespace (its log appended to
# $work/service.log), given the namespace's resolver file by name: were the host to
# replace its own, the bind mount `ip netns exec` lays over it would vanish and the
# service write the host's. Returns once its socket is there.
start_service() {
  ip netns exec "$client" "$bin/vlvpn-killswitchd" --socket "$work/ks.sock" --group nogroup \
    --state-dir "$work/state" --dns-state-dir "$work/dns" --resolv-conf "/etc/netns/$client/resolv.conf" \
    >>"$work/service.log" 2>&1 &
  disown
  for _ in $(seq 100); do [ -S "$work/ks.sock" ] && break; sleep 0.05; done
}

# ensure_openvpn_account: the account vlvpn-killswitchd runs OpenVPN under, made as an
# install makes it (left in place, as an installed package would leave it).
ensure_openvpn_account() {
  getent passwd vlvpn-openvpn >/dev/null && return 0
  useradd --system --user-group --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin \
    vlvpn-openvpn 2>/dev/null || getent passwd vlvpn-openvpn >/dev/null
}

# grant_tun / revoke_tun: that account may open /dev/net/tun (an ACL, as the install's
# udev rule sets); taken away again only when it was granted here.
grant_tun() {
  tun_acl=""
  if ! runuser -u vlvpn-openvpn -- test -r /dev/net/tun -a -w /dev/net/tun 2>/dev/null; then
    tun_acl=$(mktemp) && getfacl -p /dev/net/tun >"$tun_acl" 2>/dev/null && setfacl -m u:vlvpn-openvpn:rw /dev/net/tun
  fi
}
revoke_tun() {
  if [ -n "${tun_acl:-}" ]; then setfacl --restore="$tun_acl" 2>/dev/null || true; rm -f "$tun_acl"; fi
  tun_acl=""
}

# openvpn_identity <pid>: the user and capabilities an OpenVPN runs with, in one line.
openvpn_identity() {
  local uid
  uid=$(awk '/^Uid:/ { print $2 }' "/proc/$1/status")
  printf 'user %s (uid %s), CapEff %s, NoNewPrivs %s' "$(getent passwd "$uid" | cut -d: -f1)" "$uid" \
    "$(awk '/^CapEff:/ { print $2 }' "/proc/$1/status")" "$(awk '/^NoNewPrivs:/ { print $2 }' "/proc/$1/status")"
}
