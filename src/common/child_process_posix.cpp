#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>
#include <thread>

#include "common/child_process.h"
#include "common/spawn_posix.h"
#include "common/unique_fd.h"

extern char** environ;

namespace vlvpn {

struct ChildProcess::Impl {
  pid_t pid = -1;
  UniqueFd in;
  UniqueFd out;
};

namespace {

std::pair<UniqueFd, UniqueFd> Pipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("Could not make a pipe: ") + std::strerror(errno));
  }
  return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

// Puts `fd` at `target` in the child, where it must survive exec.
void Place(int fd, int target) {
  if (fd == target) {
    ::fcntl(fd, F_SETFD, 0);
  } else {
    ::dup2(fd, target);
  }
}

}  // namespace

ChildProcess::ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                           const Environment& environment, Options options)
    : impl_(std::make_unique<Impl>()) {
  auto [child_in, to_child] = Pipe();
  auto [from_child, child_out] = Pipe();
  auto [failed_exec, exec_failure] = Pipe();  // closed by a successful exec, else carries its errno
  const UniqueFd null_device(options.quiet ? ::open("/dev/null", O_WRONLY | O_CLOEXEC) : -1);

  // Everything the child needs is made before the fork: after it, only async-signal-safe calls.
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const auto eq = entry.find('=');
    if (eq != std::string_view::npos) merged[std::string(entry.substr(0, eq))] = std::string(entry.substr(eq + 1));
  }
  for (const auto& [name, value] : environment) merged[name] = value;
  std::vector<std::string> env_text;
  for (const auto& [name, value] : merged) env_text.push_back(name + "=" + value);
  std::vector<std::string> argv_text = {program.string()};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  const std::vector<char*> env = ExecPointers(env_text);
  const std::vector<char*> argv = ExecPointers(argv_text);

  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (options.tied && (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent)) ::_exit(127);
    Place(child_in.get(), 0);
    Place(child_out.get(), 1);
    if (null_device.valid()) Place(null_device.get(), 2);
    ::execve(argv[0], argv.data(), env.data());
    const int error = errno;
    (void)!::write(exec_failure.get(), &error, sizeof error);
    ::_exit(127);
  }
  if (pid < 0) throw std::runtime_error("Could not start \"" + program.string() + "\": " + std::strerror(errno));
  exec_failure = UniqueFd();
  int error = 0;
  ssize_t got;
  while ((got = ::read(failed_exec.get(), &error, sizeof error)) < 0 && errno == EINTR) {
  }
  if (got == static_cast<ssize_t>(sizeof error)) {
    ::waitpid(pid, nullptr, 0);
    throw std::runtime_error("Could not start \"" + program.string() + "\": " + std::strerror(error));
  }
  impl_->pid = pid;
  impl_->in = std::move(to_child);
  impl_->out = std::move(from_child);
}

ChildProcess::~ChildProcess() {
  CloseInput();
  impl_->out = UniqueFd();
  if (impl_->pid > 0) {
    ::kill(impl_->pid, SIGKILL);
    while (::waitpid(impl_->pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

bool ChildProcess::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(impl_->in.get(), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool ChildProcess::ReadMore(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0 || !impl_->out.valid()) return false;
  pollfd p{impl_->out.get(), POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
  char chunk[4096];
  const ssize_t n = ::read(impl_->out.get(), chunk, sizeof chunk);
  if (n <= 0) return false;
  buffer_.append(chunk, static_cast<std::size_t>(n));
  return true;
}

void ChildProcess::CloseInput() { impl_->in = UniqueFd(); }
int ChildProcess::TakeInput() { return impl_->in.release(); }
int ChildProcess::TakeOutput() { return impl_->out.release(); }

std::uint32_t ChildProcess::pid() const { return impl_->pid > 0 ? static_cast<std::uint32_t>(impl_->pid) : 0; }

void ChildProcess::Terminate() {
  if (impl_->pid > 0) ::kill(impl_->pid, SIGTERM);
}

std::optional<int> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (impl_->pid > 0) {
    int status = 0;
    if (::waitpid(impl_->pid, &status, WNOHANG) == impl_->pid) {
      impl_->pid = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return std::nullopt;
}

}  // namespace vlvpn
