#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "common/text.h"
#include "common/unique_fd.h"
#include "killswitch/close_apps.h"

namespace vlvpn {
namespace {

// The names a process goes by: its executable's base name, then the kernel's name for it
// (the name it was started by, cut to 15 bytes). Kernel threads and processes whose
// executable we may not see have none.
std::vector<std::string> ProgramNames(const std::filesystem::path& process) {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink(process / "exe", error);
  if (error || exe.empty()) return {};
  std::string name = exe.filename().string();
  // A program whose file was replaced or removed while it runs.
  constexpr std::string_view kDeleted = " (deleted)";
  if (name.size() > kDeleted.size() && name.ends_with(kDeleted)) name.resize(name.size() - kDeleted.size());
  std::ifstream comm_file(process / "comm", std::ios::binary);
  std::string comm;
  std::getline(comm_file, comm);
  if (comm.empty() || comm == name) return {name};
  return {name, comm};
}

}  // namespace

std::vector<RunningProgram> RunningPrograms() {
  std::vector<RunningProgram> programs;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const auto pid = ParseDecimal(entry.path().filename().string(), 0x7fffffff);
    if (!pid) continue;
    std::vector<std::string> names = ProgramNames(entry.path());
    if (!names.empty()) programs.push_back({static_cast<std::uint32_t>(*pid), std::move(names)});
  }
  return programs;
}

bool EndProcess(std::uint32_t pid, const std::string& name) {
  // The descriptor pins the process: if it ended and its pid went to another, the names
  // read below are the other's, and the signal fails rather than reach it.
  const UniqueFd process(static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0)));
  if (!process.valid()) return false;
  bool named = false;
  for (const std::string& now : ProgramNames("/proc/" + std::to_string(pid))) {
    named = named || MatchChosenApp(now, {AsciiLowerCopy(name)}).has_value();
  }
  return named && ::syscall(SYS_pidfd_send_signal, process.get(), SIGKILL, nullptr, 0) == 0;
}

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

std::uint32_t ParentProcessId() { return static_cast<std::uint32_t>(::getppid()); }

}  // namespace vlvpn
