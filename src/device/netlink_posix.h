#pragma once

#include <optional>
#include <string>
#include <vector>

#include "device/links.h"

namespace vlvpn {

// Every interface with its state and 64-bit byte counters, from one routing-netlink
// dump; empty on failure.
std::vector<LinkState> ReadLinks();
// One interface by name, from one request; nullopt when it does not exist.
std::optional<LinkState> ReadLink(const std::string& name);

}  // namespace vlvpn
