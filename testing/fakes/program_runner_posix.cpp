#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "fakes/program_runner.h"

extern char** environ;

namespace vlvpn::fakes {

struct ProgramRunner::Impl {
  pid_t pid = 0;
};

ProgramRunner::ProgramRunner() : impl_(std::make_unique<Impl>()) {}
ProgramRunner::~ProgramRunner() = default;  // a started program outlives the service, as OpenVPN would

std::uint32_t ProgramRunner::Start(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> argv_text = {program};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argv_text) argv.push_back(s.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  impl_->pid = rc == 0 ? pid : 0;
  return static_cast<std::uint32_t>(impl_->pid);
}

std::uint32_t ProgramRunner::RunningPid() {
  if (impl_->pid == 0) return 0;
  if (::waitpid(impl_->pid, nullptr, WNOHANG) == impl_->pid) impl_->pid = 0;
  return static_cast<std::uint32_t>(impl_->pid);
}

void ProgramRunner::Stop() {
  if (RunningPid() == 0) return;
  ::kill(impl_->pid, SIGTERM);
  for (int i = 0; i < 100 && ::waitpid(impl_->pid, nullptr, WNOHANG) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(impl_->pid, SIGKILL);
  ::waitpid(impl_->pid, nullptr, WNOHANG);
  impl_->pid = 0;
}

}  // namespace vlvpn::fakes
