#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
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

#include "killswitch/elevation_posix.h"
#include "killswitch/service_control.h"
#include "tunnel/command_line.h"

extern char** environ;

namespace vlvpn {
namespace {

using namespace std::chrono_literals;

// pkexec's own codes for "not authorised" and "the dialog was dismissed".
constexpr int kPkexecDenied = 126;
constexpr int kPkexecDismissed = 127;

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Starts a program detached from our terminal and standard streams; 0 on failure.
pid_t Spawn(std::vector<std::string> argv, bool search_path, int& error) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  std::vector<char*> args = Pointers(argv);
  pid_t pid = 0;
  error = search_path ? posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ)
                      : posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return error == 0 ? pid : 0;
}

std::shared_ptr<ProcessHandle> HandleOf(pid_t pid) {
  return ProcessHandle::Open(static_cast<std::uint32_t>(pid));
}

std::string CommandName(pid_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

// pkexec asks, then replaces itself with the program: watch for the name to change,
// or for pkexec to end with its answer.
ElevatedStart WaitForPkexec(pid_t pid, const std::string& elevator_name) {
  ElevatedStart result;
  const auto handle = HandleOf(pid);
  const auto deadline = std::chrono::steady_clock::now() + 120s;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      result.declined = code == kPkexecDenied || code == kPkexecDismissed;
      result.error = static_cast<std::uint32_t>(code);
      return result;
    }
    if (CommandName(pid) != elevator_name) {
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
  const pid_t pid = Spawn({"systemctl", "start", endpoint.service}, true, error);
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
  ElevatedStart result;
  int error = 0;
  if (elevator.empty()) {
    const pid_t pid = Spawn(argv, false, error);
    result.started = pid != 0;
    result.error = static_cast<std::uint32_t>(error);
    if (result.started) result.process = HandleOf(pid);
    return result;
  }
  argv.insert(argv.begin(), elevator);
  const pid_t pid = Spawn(argv, true, error);
  if (pid == 0) {
    result.error = static_cast<std::uint32_t>(error);
    return result;
  }
  return WaitForPkexec(pid, std::filesystem::path(elevator).filename().string());
}

ElevatedStart StartElevated(const std::filesystem::path& program, const std::string& arguments) {
  return StartElevatedVia(::geteuid() == 0 ? "" : "pkexec", program, arguments);
}

}  // namespace vlvpn
