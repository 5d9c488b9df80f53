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

#include "common/resolve.h"
#include "device/latency.h"

namespace vlvpn {
namespace {

using Clock = std::chrono::steady_clock;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// The host's first IPv4 address with the given port.
std::optional<sockaddr_in> Resolve(const std::string& host, int port) {
  const std::vector<std::uint32_t> addresses = ResolveIPv4Addresses(host);
  if (addresses.empty()) return std::nullopt;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = addresses.front();
  return address;
}

int ElapsedMs(Clock::time_point start) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

}  // namespace

// An unprivileged ICMP datagram socket (net.ipv4.ping_group_range); where the system
// does not allow one, the probe goes on to TCP.
std::optional<int> IcmpEchoMilliseconds(const std::string& host, std::chrono::milliseconds timeout) {
  const auto address = Resolve(host, 0);
  if (!address) return std::nullopt;
  const Fd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP));
  if (socket.get() < 0) return std::nullopt;
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
  const auto address = Resolve(host, port);
  if (!address) return std::nullopt;
  const Fd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (socket.get() < 0) return std::nullopt;
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
