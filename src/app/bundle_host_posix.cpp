#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "app/bundle_host.h"
#include "common/file_io.h"
#include "common/spawn_posix.h"

namespace vlvpn {

struct InterfaceChild::Impl {
  pid_t pid = 0;
};

std::optional<std::filesystem::path> FindNode(const std::filesystem::path& executable_folder) {
  if (IsRegularFile(executable_folder / "node")) return executable_folder / "node";
  const char* path = std::getenv("PATH");
  return FindInSearchPath(path != nullptr ? path : "", "node");
}

std::unique_ptr<InterfaceChild> InterfaceChild::Start(const std::filesystem::path& node,
                                                      const std::filesystem::path& bundle, std::string& error) {
  int to_child[2], from_child[2];
  if (::pipe2(to_child, O_CLOEXEC) != 0) {
    error = std::string("Could not make a pipe: ") + std::strerror(errno);
    return nullptr;
  }
  if (::pipe2(from_child, O_CLOEXEC) != 0) {
    error = std::string("Could not make a pipe: ") + std::strerror(errno);
    ::close(to_child[0]);
    ::close(to_child[1]);
    return nullptr;
  }
  std::vector<std::string> argv = {node.string(), bundle.string(), std::string(kBundleHostFlag)};
  const std::vector<char*> pointers = ExecPointers(argv);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // The interface must not outlive us, however we end.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(to_child[0], 0);
    ::dup2(from_child[1], 1);
    ::execv(pointers[0], pointers.data());
    ::_exit(127);
  }
  const int fork_error = errno;
  ::close(to_child[0]);
  ::close(from_child[1]);
  if (pid < 0) {
    error = std::string("Could not start the interface: ") + std::strerror(fork_error);
    ::close(to_child[1]);
    ::close(from_child[0]);
    return nullptr;
  }
  auto impl = std::make_shared<Impl>();
  impl->pid = pid;
  return std::unique_ptr<InterfaceChild>(new InterfaceChild(std::move(impl), from_child[0], to_child[1]));
}

// Five seconds after the end was asked for, as on Windows; then it is killed.
void InterfaceChild::Reap() {
  int status = 0;
  for (int waited = 0; waited < 500; ++waited) {
    const pid_t done = ::waitpid(impl_->pid, &status, WNOHANG);
    if (done == impl_->pid || (done < 0 && errno != EINTR)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(impl_->pid, SIGKILL);
  while (::waitpid(impl_->pid, &status, 0) < 0 && errno == EINTR) {
  }
}

void InterfaceChild::Terminate() { ::kill(impl_->pid, SIGTERM); }

std::uint32_t InterfaceChild::pid() const { return static_cast<std::uint32_t>(impl_->pid); }

}  // namespace vlvpn
