#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/unique_fd.h"
#include "device/latency.h"
#include "device/latency_probe.h"

namespace vlvpn {

using probe::Clock;
using probe::ElapsedMs;

// An unprivileged ICMP datagram socket (net.ipv4.ping_group_range); where the system
// does not allow one, the probe goes on to TCP.
std::optional<int> IcmpEchoMilliseconds(const std::string& host, std::chrono::milliseconds timeout) {
  const auto address = probe::Address(host, 0);
  if (!address) return std::nullopt;
  const UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP));
  if (!socket.valid()) return std::nullopt;
  unsigned char packet[sizeof(icmphdr) + 32] = {};
  auto* header = reinterpret_cast<icmphdr*>(packet);
  header->type = ICMP_ECHO;
  header->un.echo.sequence = htons(1);
  const auto start = Clock::now();
  if (::sendto(socket.get(), packet, sizeof packet, 0, reinterpret_cast<const sockaddr*>(&*address),
               sizeof(*address)) < 0) {
    return std::nullopt;
  }
  pollfd p{socket.get(), POLLIN, 0};
  for (;;) {
    const int left = static_cast<int>(timeout.count()) - ElapsedMs(start);
    if (left <= 0 || ::poll(&p, 1, left) <= 0) return std::nullopt;
    unsigned char reply[1500];
    const ssize_t n = ::recv(socket.get(), reply, sizeof reply, 0);
    if (n >= static_cast<ssize_t>(sizeof(icmphdr)) &&
        reinterpret_cast<icmphdr*>(reply)->type == ICMP_ECHOREPLY) {
      return ElapsedMs(start);
    }
  }
}

std::optional<int> TcpConnectMilliseconds(const std::string& host, int port,
                                          std::chrono::milliseconds timeout) {
  const auto address = probe::Address(host, port);
  if (!address) return std::nullopt;
  const UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket.valid()) return std::nullopt;
  const auto start = Clock::now();
  if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof(*address)) == 0 ||
      errno == ECONNREFUSED) {
    return ElapsedMs(start);
  }
  if (errno != EINPROGRESS) return std::nullopt;
  pollfd p{socket.get(), POLLOUT, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
  int error = 0;
  socklen_t length = sizeof(error);
  if (::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return std::nullopt;
  if (error != 0 && error != ECONNREFUSED) return std::nullopt;
  return ElapsedMs(start);
}

}  // namespace vlvpn
