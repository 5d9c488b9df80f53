#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vlvpn {

struct InterfaceCounters {
  std::uint64_t in_octets = 0;
  std::uint64_t out_octets = 0;
};

// One network interface as the system reports it.
struct LinkState {
  std::string name;
  bool running = false;  // up, and its operational state up or unknown (a tun device held open)
  InterfaceCounters counters;
};

// The first by name of the tun*/tap* interfaces that are running; null when none is.
const LinkState* FirstRunningTunnelLink(const std::vector<LinkState>& links);

}  // namespace vlvpn
