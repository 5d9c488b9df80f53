#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ext/stdio_filebuf.h>

#include "app/bundle_host.h"
#include "common/file_io.h"
#include "common/spawn_posix.h"

namespace vlvpn {

using FileBuffer = __gnu_cxx::stdio_filebuf<char>;

struct InterfaceChild::Impl {
  pid_t pid = 0;
  bool reaped = false;
  std::unique_ptr<FileBuffer> from_buffer, to_buffer;
  std::unique_ptr<std::istream> from;
  std::unique_ptr<std::ostream> to;
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
  std::vector<std::string> argv = {node.string(), bundle.string()};
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
  auto impl = std::make_unique<Impl>();
  impl->pid = pid;
  impl->from_buffer = std::make_unique<FileBuffer>(from_child[0], std::ios::in);
  impl->to_buffer = std::make_unique<FileBuffer>(to_child[1], std::ios::out);
  impl->from = std::make_unique<std::istream>(impl->from_buffer.get());
  impl->to = std::make_unique<std::ostream>(impl->to_buffer.get());
  return std::unique_ptr<InterfaceChild>(new InterfaceChild(std::move(impl)));
}

InterfaceChild::InterfaceChild(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

InterfaceChild::~InterfaceChild() {
  impl_->to.reset();
  impl_->to_buffer.reset();  // end of input first, then the signal
  Terminate();
  int status = 0;
  while (::waitpid(impl_->pid, &status, 0) < 0 && errno == EINTR) {
  }
}

void InterfaceChild::Terminate() { ::kill(impl_->pid, SIGTERM); }

std::istream& InterfaceChild::FromChild() { return *impl_->from; }
std::ostream& InterfaceChild::ToChild() { return *impl_->to; }
std::uint32_t InterfaceChild::pid() const { return static_cast<std::uint32_t>(impl_->pid); }

}  // namespace vlvpn
