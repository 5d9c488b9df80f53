// A command line a member of the service's group sends to vlvpn-killswitchd, and the
// nftables text it turns into: no byte of the command reaches the rules except a port
// number and addresses that are dotted IPv4, and the rules keep their shape.
#include <algorithm>

#include "fuzz_check.h"
#include "service/request.h"
#include "service/rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const vlvpn::service::ParsedRequest parsed = vlvpn::service::ParseRequest(line);
  FUZZ_CHECK(parsed.ok == parsed.error.empty());
  if (!parsed.ok || parsed.request.command != vlvpn::service::Command::kEnable) return 0;
  const vlvpn::service::EnableRequest& enable = parsed.request.enable;
  for (const std::string& address : enable.addresses) FUZZ_CHECK(vlvpn::service::IsDottedIpv4(address));
  FUZZ_CHECK(enable.udp || enable.tcp);

  vlvpn::service::FirewallState state;
  state.kill_switch = vlvpn::service::KillSwitchMode::kBlocking;
  state.server = enable;
  state.block_ipv6 = !enable.addresses.empty();
  const std::string rules = vlvpn::service::RenderRuleset(state);
  // The same request with one plain address renders the same number of lines.
  vlvpn::service::FirewallState plain = state;
  if (!plain.server.addresses.empty()) plain.server.addresses = {"198.18.0.2"};
  const std::string plain_rules = vlvpn::service::RenderRuleset(plain);
  FUZZ_CHECK(std::count(rules.begin(), rules.end(), '\n') == std::count(plain_rules.begin(), plain_rules.end(), '\n'));
  FUZZ_CHECK(rules.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789 _.,{}\"*;!=\n-") == std::string::npos);
  return 0;
}
