#pragma once

#include <memory>
#include <string>

#include "service/rules.h"

namespace vlvpn::service {

class Firewall {
 public:
  virtual ~Firewall() = default;
  // Makes the kernel enforce `state`, all at once; the error text, empty on success.
  virtual std::string Apply(const FirewallState& state) = 0;
};

// nftables through libnftables, in the network namespace of this process.
std::unique_ptr<Firewall> MakeNftablesFirewall();

}  // namespace vlvpn::service
