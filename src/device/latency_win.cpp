// winsock2.h before windows.h; ipexport.h before icmpapi.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <ipexport.h>
#include <iphlpapi.h>
#include <icmpapi.h>

#include <cstring>
#include <vector>

#include "device/latency.h"
#include "device/latency_probe.h"

namespace vlvpn {

using probe::Clock;
using probe::ElapsedMs;

std::optional<int> IcmpEchoMilliseconds(const std::string& host, std::chrono::milliseconds timeout) {
  const auto address = probe::Address(host, 0);
  if (!address) return std::nullopt;
  HANDLE icmp = IcmpCreateFile();
  if (icmp == INVALID_HANDLE_VALUE) return std::nullopt;
  char request[32] = {};
  // Room for one reply, the echoed data and an ICMP error, sized for this build.
  std::vector<unsigned char> reply(sizeof(ICMP_ECHO_REPLY) + sizeof(request) + 8);
  const DWORD replies =
      IcmpSendEcho(icmp, address->sin_addr.s_addr, request, sizeof(request), nullptr, reply.data(),
                   static_cast<DWORD>(reply.size()), static_cast<DWORD>(timeout.count()));
  IcmpCloseHandle(icmp);
  if (replies == 0) return std::nullopt;
  const auto* echo = reinterpret_cast<const ICMP_ECHO_REPLY*>(reply.data());
  if (echo->Status != IP_SUCCESS) return std::nullopt;
  return static_cast<int>(echo->RoundTripTime);
}

std::optional<int> TcpConnectMilliseconds(const std::string& host, int port,
                                          std::chrono::milliseconds timeout) {
  const auto address = probe::Address(host, port);
  if (!address) return std::nullopt;
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return std::nullopt;
  u_long yes = 1;
  ioctlsocket(s, static_cast<long>(FIONBIO), &yes);
  const auto start = Clock::now();
  std::optional<int> result;
  if (connect(s, reinterpret_cast<const sockaddr*>(&*address), sizeof(*address)) == 0 ||
      WSAGetLastError() == WSAECONNREFUSED) {
    result = ElapsedMs(start);
  } else if (WSAGetLastError() == WSAEWOULDBLOCK || WSAGetLastError() == WSAEINPROGRESS) {
    // A refused non-blocking connect is reported in the exception set, not the write set.
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval wait{static_cast<long>(timeout.count() / 1000),
                 static_cast<long>((timeout.count() % 1000) * 1000)};
    if (select(0, nullptr, &writable, &failed, &wait) > 0) {
      int error = 0;
      int length = sizeof(error);
      if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == 0 &&
          (error == 0 || error == WSAECONNREFUSED)) {
        result = ElapsedMs(start);
      }
    }
  }
  closesocket(s);
  return result;
}

}  // namespace vlvpn
