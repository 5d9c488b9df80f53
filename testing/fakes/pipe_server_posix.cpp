#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "fakes/pipe_server.h"

namespace vlvpn::fakes {
namespace {

class UnixConnection : public PipeConnection {
 public:
  explicit UnixConnection(int fd) : fd_(fd) {}
  ~UnixConnection() override { ::close(fd_); }

  std::optional<std::string> ReadLine() override {
    std::string line;
    char c;
    while (line.size() < 65536) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0 || ::read(fd_, &c, 1) != 1) return std::nullopt;
      if (c == '\n') return line;
      line += c;
    }
    return line;
  }
  void Write(const std::string& reply) override {
    (void)!::send(fd_, reply.data(), reply.size(), MSG_NOSIGNAL);
  }
  void WaitForClientToLeave() override {
    pollfd p{fd_, POLLIN, 0};
    char c;
    while (::poll(&p, 1, 30000) > 0 && ::read(fd_, &c, 1) > 0) {
    }
  }

 private:
  int fd_;
};

}  // namespace

void ServePipe(const std::string& pipe, const std::function<void(PipeConnection&)>& handle,
               const std::function<bool()>& keep_going) {
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (pipe.size() >= sizeof(address.sun_path)) throw std::runtime_error("socket path too long");
  std::memcpy(address.sun_path, pipe.data(), pipe.size());
  ::unlink(pipe.c_str());
  if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listener, 16) != 0) {
    throw std::runtime_error("cannot listen on " + pipe);
  }
  while (keep_going()) {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    UnixConnection connection(fd);
    handle(connection);
  }
  ::close(listener);
  ::unlink(pipe.c_str());
}

}  // namespace vlvpn::fakes
