#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/spawn_posix.h"
#include "killswitch/elevation_posix.h"
#include "killswitch/service_control.h"
#include "common/arguments.h"

namespace vlvpn {
namespace {

using namespace std::chrono_literals;

// pkexec's own codes for "not authorised" and "the dialog was dismissed".
constexpr int kPkexecDenied = 126;
constexpr int kPkexecDismissed = 127;

std::shared_ptr<ProcessHandle> HandleOf(pid_t pid) {
  return ProcessHandle::Open(static_cast<std::uint32_t>(pid));
}

std::string CommandName(pid_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

// pkexec asks, then replaces itself with the program: watch for the program's name
// (the kernel keeps 15 bytes of it), or for pkexec to end with its answer. Any other
// name is the moment before pkexec itself runs.
ElevatedStart WaitForPkexec(pid_t pid, const std::string& program_name) {
  ElevatedStart result;
  const auto handle = HandleOf(pid);
  const auto deadline = std::chrono::steady_clock::now() + 120s;
  while (std::chrono::steady_clock::now() < deadline) {
    // The name first: a new name counts only while the process is still there to bear it.
    const std::string name = CommandName(pid);
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      result.declined = code == kPkexecDenied || code == kPkexecDismissed;
      result.error = static_cast<std::uint32_t>(code);
      return result;
    }
    if (name == program_name.substr(0, 15)) {
      result.started = true;
      result.process = handle;
      return result;
    }
    std::this_thread::sleep_for(50ms);
  }
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
  result.declined = true;
  return result;
}

}  // namespace

bool IsServiceRegistered(const KillSwitchEndpoint& endpoint) {
  std::error_code ec;
  return std::filesystem::exists(endpoint.pipe, ec);
}

ServiceStart StartKillSwitchService(const KillSwitchEndpoint& endpoint) {
  int error = 0;
  const pid_t pid = SpawnDetached({"systemctl", "start", endpoint.service}, true, error);
  if (pid == 0) return ServiceStart::kFailed;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ServiceStart::kStarted : ServiceStart::kFailed;
}

ElevatedStart StartElevatedVia(const std::string& elevator, const std::filesystem::path& program,
                               const std::string& arguments) {
  std::vector<std::string> argv = {program.string()};
  for (std::string& arg : SplitArguments(arguments)) argv.push_back(std::move(arg));
  // What OpenVPN says before its --log takes effect (an unknown option) reaches the log.
  const std::string log = OptionValue(argv, "--log");
  ElevatedStart result;
  int error = 0;
  if (elevator.empty()) {
    const pid_t pid = SpawnDetached(argv, false, error, log);
    result.started = pid != 0;
    result.error = static_cast<std::uint32_t>(error);
    if (result.started) result.process = HandleOf(pid);
    return result;
  }
  argv.insert(argv.begin(), elevator);
  const pid_t pid = SpawnDetached(argv, true, error, log);
  if (pid == 0) {
    result.error = static_cast<std::uint32_t>(error);
    return result;
  }
  return WaitForPkexec(pid, program.filename().string());
}

ElevatedStart StartElevated(const std::filesystem::path& program, const std::string& arguments) {
  return StartElevatedVia(::geteuid() == 0 ? "" : "pkexec", program, arguments);
}

}  // namespace vlvpn
