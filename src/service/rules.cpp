#include "service/rules.h"

namespace vlvpn::service {
namespace {

std::string ServerRules(const EnableRequest& server) {
  if (server.addresses.empty()) return {};
  std::string set;
  for (const std::string& address : server.addresses) set += (set.empty() ? "" : ", ") + address;
  const auto rule = [&](const std::string& protocol) {
    const std::string match = server.port == 0 ? "meta l4proto " + protocol
                                               : protocol + " dport " + std::to_string(server.port);
    return "    ip daddr { " + set + " } " + match + " accept\n";
  };
  return (server.udp ? rule("udp") : "") + (server.tcp ? rule("tcp") : "");
}

// Fail-closed: nothing leaves or arrives but loopback, the tunnel, root's DHCP, the
// service's OpenVPN, the server and replies to what was let out. DHCP is matched by
// owner too: where unprivileged ports start at 0 anyone could bind port 68.
std::string KillSwitchChains(const EnableRequest& server, std::optional<uid_t> openvpn_uid) {
  const std::string openvpn =
      openvpn_uid ? "    meta skuid " + std::to_string(*openvpn_uid) + " accept\n" : std::string();
  const std::string tunnel_out = "    oifname \"tun*\" accept\n    oifname \"tap*\" accept\n";
  const std::string tunnel_in = "    iifname \"tun*\" accept\n    iifname \"tap*\" accept\n";
  return "  chain killswitch_out {\n"
         "    type filter hook output priority filter; policy drop;\n"
         "    oifname \"lo\" accept\n" +
         tunnel_out +
         "    meta skuid 0 udp sport 68 udp dport 67 accept\n"
         "    meta skuid 0 udp sport 546 udp dport 547 accept\n" +
         openvpn + ServerRules(server) +
         "  }\n"
         "  chain killswitch_in {\n"
         "    type filter hook input priority filter; policy drop;\n"
         "    iifname \"lo\" accept\n" +
         tunnel_in +
         "    ct state established,related accept\n"
         "    udp sport 67 udp dport 68 accept\n"
         "    udp sport 547 udp dport 546 accept\n"
         "  }\n"
         "  chain killswitch_forward {\n"
         "    type filter hook forward priority filter; policy drop;\n" +
         tunnel_out + tunnel_in +
         "  }\n";
}

// A chain of its own, so that it holds whatever the kill switch does.
const char* const kIpv6Chains =
    "  chain ipv6_out {\n"
    "    type filter hook output priority filter; policy accept;\n"
    "    meta nfproto ipv6 oifname != \"lo\" drop\n"
    "  }\n"
    "  chain ipv6_in {\n"
    "    type filter hook input priority filter; policy accept;\n"
    "    meta nfproto ipv6 iifname != \"lo\" drop\n"
    "  }\n"
    "  chain ipv6_forward {\n"
    "    type filter hook forward priority filter; policy accept;\n"
    "    meta nfproto ipv6 drop\n"
    "  }\n";

}  // namespace

std::string RenderRuleset(const FirewallState& state) {
  // Adding first makes the delete valid when the table is not there yet; the whole
  // text is one transaction, so the old rules hold until the new ones do.
  std::string script = std::string("add table inet ") + kTableName + "\ndelete table inet " + kTableName + "\n";
  const bool blocking = state.kill_switch == KillSwitchMode::kBlocking;
  if (!blocking && !state.block_ipv6) return script;
  script += std::string("table inet ") + kTableName + " {\n";
  if (blocking) script += KillSwitchChains(state.server, state.openvpn_uid);
  if (state.block_ipv6) script += kIpv6Chains;
  script += "}\n";
  return script;
}

}  // namespace vlvpn::service
