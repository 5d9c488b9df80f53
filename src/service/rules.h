#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "service/request.h"

namespace vlvpn::service {

inline constexpr const char* kTableName = "vlvpn";  // family inet

enum class KillSwitchMode { kOff, kBlocking, kOpen };

// What the firewall should enforce; the table is rendered from this whole each time.
struct FirewallState {
  KillSwitchMode kill_switch = KillSwitchMode::kOff;
  EnableRequest server;  // the facts of the last ENABLE, kept while open
  bool block_ipv6 = false;
  // The account the service runs OpenVPN under: its traffic passes a closed kill switch
  // (its servers, their names, its proxies), whatever the facts say.
  std::optional<uid_t> openvpn_uid;
  bool operator==(const FirewallState&) const = default;
};

// One nftables transaction that replaces our table (and nothing else) with the rules
// for `state`, or removes it when nothing is enforced.
std::string RenderRuleset(const FirewallState& state);

}  // namespace vlvpn::service
