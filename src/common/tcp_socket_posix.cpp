#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "common/socket_address.h"
#include "common/tcp_socket.h"

namespace vlvpn {
namespace {

int Wait(int fd, short events, std::chrono::milliseconds timeout) {
  pollfd p{fd, events, 0};
  int ready;
  do {
    ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
  return ready;
}

}  // namespace

unsigned TcpSocket::WaitReadable(const TcpSocket& first, const TcpSocket* second,
                                 std::chrono::milliseconds timeout) {
  pollfd p[2] = {{static_cast<int>(first.native_), POLLIN, 0},
                 {second != nullptr ? static_cast<int>(second->native_) : -1, POLLIN, 0}};
  int ready;
  do {
    ready = ::poll(p, second != nullptr ? 2 : 1, static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return 0;
  unsigned which = 0;
  if (p[0].revents != 0) which |= 1;
  if (second != nullptr && p[1].revents != 0) which |= 2;
  return which;
}

void TcpSocket::Close() {
  if (native_ >= 0) ::close(static_cast<int>(native_));
  native_ = -1;
}

bool TcpSocket::valid() const { return native_ >= 0; }

TcpSocket TcpSocket::Connect(std::uint16_t port, std::chrono::milliseconds timeout) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return {};
  TcpSocket socket(fd);
  // Command lines go out at once, not held back for the reply to the one before.
  const int no_delay = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &no_delay, sizeof(no_delay));
  const sockaddr_in address = LoopbackAddress(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    if (errno != EINPROGRESS || Wait(fd, POLLOUT, timeout) <= 0) return {};
    int error = 0;
    socklen_t length = sizeof(error);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return {};
  }
  return socket;
}

TcpSocket TcpSocket::Listen(std::uint16_t port, int backlog, bool reuse_address, ListenStep* failed) {
  ListenStep ignored;
  ListenStep& step = failed != nullptr ? *failed : ignored;
  step = ListenStep::kCreate;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return {};
  TcpSocket socket(fd);
  const int yes = 1;
  if (reuse_address) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  const sockaddr_in address = LoopbackAddress(port);
  step = ListenStep::kBind;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) return {};
  step = ListenStep::kListen;
  if (::listen(fd, backlog) != 0) return {};
  step = ListenStep::kNone;
  return socket;
}

std::uint16_t TcpSocket::LocalPort() const {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  if (::getsockname(static_cast<int>(native_), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

TcpSocket TcpSocket::Accept(std::chrono::milliseconds timeout) const {
  if (Wait(static_cast<int>(native_), POLLIN, timeout) <= 0) return {};
  const int fd = ::accept4(static_cast<int>(native_), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  return fd < 0 ? TcpSocket() : TcpSocket(fd);
}

bool TcpSocket::SendAll(std::string_view data) const {
  while (!data.empty()) {
    if (Wait(static_cast<int>(native_), POLLOUT, std::chrono::seconds(5)) <= 0) return false;
    const ssize_t n = ::send(static_cast<int>(native_), data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

TcpSocket::Received TcpSocket::Receive(std::string& into, std::chrono::milliseconds timeout) const {
  const int ready = Wait(static_cast<int>(native_), POLLIN, timeout);
  if (ready == 0) return Received::kTimedOut;
  if (ready < 0) return Received::kFailed;
  char chunk[4096];
  const ssize_t n = ::recv(static_cast<int>(native_), chunk, sizeof chunk, 0);
  if (n == 0) return Received::kClosed;
  if (n < 0) return (errno == EAGAIN || errno == EINTR) ? Received::kTimedOut : Received::kFailed;
  into.append(chunk, static_cast<std::size_t>(n));
  // Acknowledge at once: the peer (OpenVPN does not turn Nagle off) holds its next short
  // report back until this one is acknowledged, a delayed ACK's worth of time.
  const int quick = 1;
  ::setsockopt(static_cast<int>(native_), IPPROTO_TCP, TCP_QUICKACK, &quick, sizeof quick);
  return Received::kData;
}

void TcpSocket::Shutdown() const {
  if (native_ >= 0) ::shutdown(static_cast<int>(native_), SHUT_RDWR);
}

void TcpSocket::FinishSending() const {
  if (native_ >= 0) ::shutdown(static_cast<int>(native_), SHUT_WR);
}

void EnsureSocketsStarted() {}

}  // namespace vlvpn
