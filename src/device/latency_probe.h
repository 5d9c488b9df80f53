#pragma once

// What both platforms' probes share: the address they aim at and the clock they read.
#include <chrono>
#include <optional>
#include <string>

#include "common/resolve.h"
#include "common/socket_address.h"

namespace vlvpn::probe {

using Clock = std::chrono::steady_clock;

// The host's first IPv4 address with the given port.
inline std::optional<sockaddr_in> Address(const std::string& host, int port) {
  const std::vector<std::uint32_t> addresses = ResolveIPv4Addresses(host);
  if (addresses.empty()) return std::nullopt;
  return IPv4SocketAddress(addresses.front(), static_cast<std::uint16_t>(port));
}

inline int ElapsedMs(Clock::time_point start) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

}  // namespace vlvpn::probe
