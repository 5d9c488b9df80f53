#pragma once

// IPv4 socket addresses, the same on both platforms once their headers are in.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include <cstdint>

namespace vlvpn {

// `address` in network byte order, `port` in host order.
inline sockaddr_in IPv4SocketAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_port = htons(port);
  result.sin_addr.s_addr = address;
  return result;
}

inline sockaddr_in LoopbackAddress(std::uint16_t port) {
  return IPv4SocketAddress(htonl(INADDR_LOOPBACK), port);
}

}  // namespace vlvpn
