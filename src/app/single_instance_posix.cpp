#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "app/single_instance.h"
#include "common/unique_fd.h"

namespace vlvpn {
namespace {

// An abstract socket: no file to leave behind, gone with the process.
socklen_t InstanceAddress(sockaddr_un& address) {
  std::memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  const std::string name = "VLVPNDesk-SingleInstance-" + std::to_string(::getuid());
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

// Abstract names are visible to every user of the network namespace: only our own
// user's copies count.
bool PeerIsUs(int fd) {
  ucred peer{};
  socklen_t length = sizeof(peer);
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.uid == ::getuid();
}

bool WaitReadable(int fd, int timeout_ms) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, timeout_ms) > 0;
}

// True when a running copy of ours took the request. Never blocks: anyone may bind an
// abstract name, and a holder that never accepts would hold a blocking connect forever.
bool AskRunningCopyToShow() {
  sockaddr_un address;
  const socklen_t length = InstanceAddress(address);
  for (int attempt = 0; attempt < 20; ++attempt) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) return false;
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) == 0) {
      if (!PeerIsUs(fd.get())) return false;
      return ::send(fd.get(), "show\n", 5, MSG_NOSIGNAL | MSG_DONTWAIT) == 5;
    }
    // The holder may be between bind and listen (refused), or busy (its queue full).
    if (errno != ECONNREFUSED && errno != EAGAIN) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

}  // namespace

struct SingleInstance::Impl {
  UniqueFd listener;
  UniqueFd wake_read, wake_write;
  std::function<void()> show_requested;
  std::thread thread;

  void Serve() {
    while (true) {
      pollfd entries[2] = {{listener.get(), POLLIN, 0}, {wake_read.get(), POLLIN, 0}};
      if (::poll(entries, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (entries[1].revents != 0) return;
      UniqueFd peer(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!peer.valid() || !PeerIsUs(peer.get())) continue;
      char request[16] = {};
      if (!WaitReadable(peer.get(), 1000)) continue;
      const ssize_t n = ::recv(peer.get(), request, sizeof(request) - 1, 0);
      if (n >= 4 && std::strncmp(request, "show", 4) == 0 && show_requested) show_requested();
    }
  }
};

SingleInstance::SingleInstance(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

SingleInstance::~SingleInstance() {
  if (impl_->thread.joinable()) {
    (void)!::write(impl_->wake_write.get(), "x", 1);
    impl_->thread.join();
  }
}

std::unique_ptr<SingleInstance> SingleInstance::Claim(std::function<void()> show_requested) {
  auto impl = std::make_unique<Impl>();
  impl->show_requested = std::move(show_requested);
  sockaddr_un address;
  const socklen_t length = InstanceAddress(address);
  for (int attempt = 0; attempt < 3; ++attempt) {
    impl->listener = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!impl->listener.valid()) break;
    if (::bind(impl->listener.get(), reinterpret_cast<const sockaddr*>(&address), length) == 0) {
      int pipe_fds[2];
      if (::listen(impl->listener.get(), 8) != 0 || ::pipe2(pipe_fds, O_CLOEXEC) != 0) break;
      impl->wake_read = UniqueFd(pipe_fds[0]);
      impl->wake_write = UniqueFd(pipe_fds[1]);
      Impl* serving = impl.get();
      impl->thread = std::thread([serving] { serving->Serve(); });
      return std::unique_ptr<SingleInstance>(new SingleInstance(std::move(impl)));
    }
    if (errno != EADDRINUSE) break;
    if (AskRunningCopyToShow()) return nullptr;
    // Held by someone who is not a running copy of ours (another user, or a copy that
    // just ended): try again, then run without the guarantee rather than not at all.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  impl->listener = UniqueFd();
  return std::unique_ptr<SingleInstance>(new SingleInstance(std::move(impl)));
}

}  // namespace vlvpn
