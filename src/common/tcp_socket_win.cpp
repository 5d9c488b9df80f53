#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include <mutex>

#include "common/socket_address.h"
#include "common/tcp_socket.h"

namespace vlvpn {

// Winsock 2.2 for the whole process, started on first use.
void EnsureSocketsStarted() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

namespace {

SOCKET S(std::intptr_t native) { return static_cast<SOCKET>(native); }

int Wait(SOCKET s, short events, std::chrono::milliseconds timeout) {
  WSAPOLLFD p{s, events, 0};
  return WSAPoll(&p, 1, static_cast<INT>(timeout.count()));
}

void SetNonBlocking(SOCKET s) {
  u_long yes = 1;
  ioctlsocket(s, static_cast<long>(FIONBIO), &yes);  // the macro is unsigned, the parameter signed
}

}  // namespace

unsigned TcpSocket::WaitReadable(const TcpSocket& first, const TcpSocket* second,
                                 std::chrono::milliseconds timeout) {
  WSAPOLLFD p[2] = {{S(first.native_), POLLRDNORM, 0},
                    {second != nullptr ? S(second->native_) : INVALID_SOCKET, POLLRDNORM, 0}};
  const int ready = WSAPoll(p, second != nullptr ? 2 : 1, static_cast<INT>(timeout.count()));
  if (ready <= 0) return 0;
  unsigned which = 0;
  if (p[0].revents != 0) which |= 1;
  if (second != nullptr && p[1].revents != 0) which |= 2;
  return which;
}

void TcpSocket::Close() {
  if (valid()) closesocket(S(native_));
  native_ = -1;
}

bool TcpSocket::valid() const { return native_ != -1 && S(native_) != INVALID_SOCKET; }

TcpSocket TcpSocket::Connect(std::uint16_t port, std::chrono::milliseconds timeout) {
  EnsureSocketsStarted();
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return {};
  TcpSocket owned(static_cast<std::intptr_t>(s));
  SetNonBlocking(s);
  // Command lines go out at once, not held back for the reply to the one before.
  const BOOL no_delay = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&no_delay), sizeof(no_delay));
  // Acknowledge every segment at once: OpenVPN leaves Nagle on, so its next short report
  // waits for our ACK, which Windows would delay by up to 200 ms. Best effort.
  TCP_ACK_FREQUENCY_PARAMETERS ack_every{1};
  DWORD unused = 0;
  WSAIoctl(s, SIO_TCP_SET_ACK_FREQUENCY, &ack_every, sizeof ack_every, nullptr, 0, &unused, nullptr, nullptr);
  const sockaddr_in address = LoopbackAddress(port);
  if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) return {};
    // A refused connect shows in the error set, not the write set.
    WSAPOLLFD p{s, POLLWRNORM, 0};
    if (WSAPoll(&p, 1, static_cast<INT>(timeout.count())) <= 0 || (p.revents & (POLLERR | POLLHUP)) != 0)
      return {};
    int error = 0;
    int length = sizeof(error);
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 || error != 0)
      return {};
  }
  return owned;
}

TcpSocket TcpSocket::Listen(std::uint16_t port, int backlog, bool, ListenStep* failed) {
  ListenStep ignored;
  ListenStep& step = failed != nullptr ? *failed : ignored;
  step = ListenStep::kCreate;
  EnsureSocketsStarted();
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return {};
  TcpSocket owned(static_cast<std::intptr_t>(s));
  // Held exclusively: no other socket may bind the port while we listen on it.
  const BOOL exclusive = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
             sizeof(exclusive));
  SetNonBlocking(s);
  const sockaddr_in address = LoopbackAddress(port);
  step = ListenStep::kBind;
  if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) return {};
  step = ListenStep::kListen;
  if (listen(s, backlog) != 0) return {};
  step = ListenStep::kNone;
  return owned;
}

std::uint16_t TcpSocket::LocalPort() const {
  sockaddr_in address{};
  int length = sizeof(address);
  if (getsockname(S(native_), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

TcpSocket TcpSocket::Accept(std::chrono::milliseconds timeout) const {
  if (Wait(S(native_), POLLRDNORM, timeout) <= 0) return {};
  const SOCKET s = accept(S(native_), nullptr, nullptr);
  if (s == INVALID_SOCKET) return {};
  SetNonBlocking(s);
  return TcpSocket(static_cast<std::intptr_t>(s));
}

bool TcpSocket::SendAll(std::string_view data) const {
  while (!data.empty()) {
    if (Wait(S(native_), POLLWRNORM, std::chrono::seconds(5)) <= 0) return false;
    const int n = send(S(native_), data.data(), static_cast<int>(data.size()), 0);
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

TcpSocket::Received TcpSocket::Receive(std::string& into, std::chrono::milliseconds timeout) const {
  const int ready = Wait(S(native_), POLLRDNORM, timeout);
  if (ready == 0) return Received::kTimedOut;
  if (ready < 0) return Received::kFailed;
  char chunk[4096];
  const int n = recv(S(native_), chunk, sizeof chunk, 0);
  if (n == 0) return Received::kClosed;
  if (n == SOCKET_ERROR) return WSAGetLastError() == WSAEWOULDBLOCK ? Received::kTimedOut : Received::kFailed;
  into.append(chunk, static_cast<std::size_t>(n));
  return Received::kData;
}

void TcpSocket::Shutdown() const {
  if (valid()) shutdown(S(native_), SD_BOTH);
}

void TcpSocket::FinishSending() const {
  if (valid()) shutdown(S(native_), SD_SEND);
}

}  // namespace vlvpn
