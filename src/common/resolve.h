#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vlvpn {

// The IPv4 addresses of a host name (network byte order), in the resolver's order,
// without repeats; empty when it cannot be resolved.
std::vector<std::uint32_t> ResolveIPv4Addresses(const std::string& host);

// The same in dotted form.
std::vector<std::string> ResolveIPv4(const std::string& host);

}  // namespace vlvpn
