#include "common/resolve.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#endif

#include <algorithm>

#include "common/tcp_socket.h"

namespace vlvpn {

std::vector<std::uint32_t> ResolveIPv4Addresses(const std::string& host) {
  std::vector<std::uint32_t> addresses;
  if (host.empty()) return addresses;
  EnsureSocketsStarted();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* results = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &results) != 0) return addresses;
  for (const addrinfo* r = results; r != nullptr; r = r->ai_next) {
    const std::uint32_t address = reinterpret_cast<const sockaddr_in*>(r->ai_addr)->sin_addr.s_addr;
    if (std::find(addresses.begin(), addresses.end(), address) == addresses.end())
      addresses.push_back(address);
  }
  freeaddrinfo(results);
  return addresses;
}

std::vector<std::string> ResolveIPv4(const std::string& host) {
  std::vector<std::string> dotted;
  for (const std::uint32_t address : ResolveIPv4Addresses(host)) {
    const std::uint32_t value = ntohl(address);
    dotted.push_back(std::to_string(value >> 24) + "." + std::to_string((value >> 16) & 0xFF) + "." +
                     std::to_string((value >> 8) & 0xFF) + "." + std::to_string(value & 0xFF));
  }
  return dotted;
}

}  // namespace vlvpn
