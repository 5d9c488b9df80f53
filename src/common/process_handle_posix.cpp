#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/process_handle.h"

namespace vlvpn {

ProcessHandle::~ProcessHandle() { ::close(static_cast<int>(native_)); }

std::shared_ptr<ProcessHandle> ProcessHandle::Open(std::uint32_t pid) {
  if (pid == 0 || pid > 0x7FFFFFFF) return nullptr;
  const long fd = ::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0);
  if (fd < 0) return nullptr;
  return Adopt(static_cast<std::intptr_t>(fd), pid);
}

std::shared_ptr<ProcessHandle> ProcessHandle::Adopt(std::intptr_t native, std::uint32_t pid) {
  return std::shared_ptr<ProcessHandle>(new ProcessHandle(native, pid));
}

bool ProcessHandle::WaitForExit(std::chrono::milliseconds timeout) const {
  pollfd p{static_cast<int>(native_), POLLIN, 0};
  const int ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
  if (ready <= 0) return false;
  // Our own child must also be reaped; for anyone else's this fails harmlessly.
  siginfo_t info{};
  ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(native_), &info, WEXITED | WNOHANG);
  return true;
}

bool ProcessHandle::HasExited() const { return WaitForExit(std::chrono::milliseconds(0)); }

}  // namespace vlvpn
