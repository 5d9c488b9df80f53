#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "common/arguments.h"
#include "common/spawn_posix.h"
#include "fakes/program_runner.h"

namespace vlvpn::fakes {

struct ProgramRunner::Impl {
  pid_t pid = 0;
};

ProgramRunner::ProgramRunner() : impl_(std::make_unique<Impl>()) {}
ProgramRunner::~ProgramRunner() = default;  // a started program outlives the service, as OpenVPN would

std::uint32_t ProgramRunner::Start(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), args.begin(), args.end());
  int error = 0;
  // As the service: OpenVPN's own output reaches its log.
  const std::string log = OptionValue(args, "--log");
  const pid_t pid = SpawnDetached(std::move(argv), false, error, log);
  impl_->pid = pid;
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
