#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <stdexcept>

#include "common/spawn_posix.h"
#include "support/child_process.h"

extern char** environ;

namespace vlvpn::testing {

std::filesystem::path SiblingProgram(std::string_view name) {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path() / std::string(name);
}

struct ChildProcess::Impl {
  pid_t pid = -1;
  int in = -1;
  int out = -1;
};

ChildProcess::ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                           const Environment& environment)
    : impl_(std::make_unique<Impl>()) {
  int to_child[2], from_child[2];
  if (::pipe2(to_child, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (::pipe2(from_child, O_CLOEXEC) != 0) {
    ::close(to_child[0]), ::close(to_child[1]);
    throw std::runtime_error("pipe failed");
  }
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const auto eq = entry.find('=');
    if (eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [name, value] : environment) merged[name] = value;
  std::vector<std::string> env_text;
  for (const auto& [name, value] : merged) env_text.push_back(name + "=" + value);
  std::vector<char*> env = ExecPointers(env_text);
  std::string path = program.string();
  std::vector<std::string> argv_text = {path};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv = ExecPointers(argv_text);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
  posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
  const int rc = posix_spawn(&impl_->pid, path.c_str(), &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(to_child[0]);
  ::close(from_child[1]);
  impl_->in = to_child[1];
  impl_->out = from_child[0];
  if (rc != 0) {
    impl_->pid = -1;
    throw std::runtime_error("cannot start " + path + ": " + std::strerror(rc));
  }
}

ChildProcess::~ChildProcess() {
  CloseInput();
  if (impl_->out >= 0) ::close(impl_->out);
  if (impl_->pid > 0) {
    ::kill(impl_->pid, SIGKILL);
    ::waitpid(impl_->pid, nullptr, 0);
  }
}

bool ChildProcess::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(impl_->in, bytes.data(), bytes.size());
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool ChildProcess::ReadMore(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  pollfd p{impl_->out, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
  char chunk[4096];
  const ssize_t n = ::read(impl_->out, chunk, sizeof chunk);
  if (n <= 0) return false;
  buffer_.append(chunk, static_cast<std::size_t>(n));
  return true;
}

std::uint32_t ChildProcess::pid() const { return impl_->pid > 0 ? static_cast<std::uint32_t>(impl_->pid) : 0; }

void ChildProcess::CloseInput() {
  if (impl_->in >= 0) ::close(impl_->in);
  impl_->in = -1;
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
    ::usleep(5000);
  }
  return std::nullopt;
}

}  // namespace vlvpn::testing
