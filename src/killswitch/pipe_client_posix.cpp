#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "common/unique_fd.h"
#include "killswitch/pipe_client.h"

namespace vlvpn {
namespace {

using Clock = std::chrono::steady_clock;

bool WaitFor(int fd, short events, milliseconds timeout) {
  pollfd p{fd, events, 0};
  int ready;
  do {
    ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

// Connects before the deadline; -1 (with the socket closed) when the service is not there.
int Connect(const std::string& path, const std::function<bool()>& registered, const PipeTimings& timings) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address.sun_path)) return -1;
  std::memcpy(address.sun_path, path.data(), path.size());
  const auto deadline = Clock::now() + timings.open_deadline;
  for (;;) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) return fd;
    const int error = errno;
    ::close(fd);
    if (error == EAGAIN) {
      // The listener's backlog is full: the pipe's "busy".
      std::this_thread::sleep_for(timings.busy_wait);
    } else if ((error == ENOENT || error == ECONNREFUSED) && registered && registered()) {
      std::this_thread::sleep_for(timings.absent_retry);
    } else {
      return -1;
    }
    if (Clock::now() >= deadline) return -1;
  }
}

}  // namespace

KillSwitchEndpoint KillSwitchEndpoint::Default() {
  const char* socket = std::getenv("VLVPN_KILLSWITCH_SOCKET");
  return {socket != nullptr && *socket != '\0' ? socket : "/run/VLVPNKillSwitch.sock", "vlvpn-killswitch"};
}

std::string ExchangeOnce(const std::string& pipe, std::string_view line,
                         const std::function<bool()>& registered, const PipeTimings& timings) {
  const UniqueFd socket(Connect(pipe, registered, timings));
  if (!socket.valid()) return {};
  ::fcntl(socket.get(), F_SETFL, ::fcntl(socket.get(), F_GETFL) | O_NONBLOCK);
  while (!line.empty()) {
    if (!WaitFor(socket.get(), POLLOUT, timings.write_timeout)) return {};
    const ssize_t n = ::send(socket.get(), line.data(), line.size(), MSG_NOSIGNAL);
    if (n <= 0) {
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      return {};
    }
    line.remove_prefix(static_cast<std::size_t>(n));
  }
  if (!WaitFor(socket.get(), POLLIN, timings.read_timeout)) return {};
  char reply[kMaxReply];
  const ssize_t n = ::recv(socket.get(), reply, sizeof reply, 0);
  if (n <= 0) return {};
  return std::string(reply, static_cast<std::size_t>(n));
}

}  // namespace vlvpn
