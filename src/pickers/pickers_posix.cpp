#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "common/spawn_posix.h"
#include "common/unique_fd.h"
#include "pickers/pickers.h"

extern char** environ;

namespace vlvpn {
namespace {

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  return FindInSearchPath(path != nullptr ? path : "", program).has_value();
}

// Runs the dialog program and reads what it prints; nullopt unless it exits with 0.
std::optional<std::string> RunDialog(std::vector<std::string> argv) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return std::nullopt;
  UniqueFd read_end(pipe_fds[0]);
  UniqueFd write_end(pipe_fds[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, write_end.get(), 1);
  pid_t pid = 0;
  const std::vector<char*> pointers = ExecPointers(argv);
  const int spawned = posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  write_end = UniqueFd();
  if (spawned != 0) return std::nullopt;

  std::string output;
  char buffer[4096];
  while (true) {
    const ssize_t n = ::read(read_end.get(), buffer, sizeof(buffer));
    if (n > 0) {
      if (output.size() < 65536) output.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
  return output;
}

}  // namespace

std::optional<std::filesystem::path> ChooseFile(PickerKind kind) {
  const bool app = kind == PickerKind::kApp;
  const std::string title = app ? "Choose an app to close when the VPN drops" : "Import OpenVPN Profile (.ovpn)";
  std::optional<std::string> chosen;
  if (OnPath("zenity")) {
    std::vector<std::string> argv = {"zenity", "--file-selection", "--title=" + title};
    if (app) {
      argv.insert(argv.end(), {"--filename=/usr/bin/", "--file-filter=All files | *"});
    } else {
      argv.insert(argv.end(), {"--file-filter=OpenVPN config (*.ovpn) | *.ovpn", "--file-filter=All files | *"});
    }
    chosen = RunDialog(std::move(argv));
  } else if (OnPath("kdialog")) {
    chosen = RunDialog({"kdialog", "--title", title, "--getopenfilename", app ? "/usr/bin" : ".",
                        app ? "All files (*)" : "OpenVPN config (*.ovpn)\nAll files (*)"});
  }
  if (!chosen || chosen->empty()) return std::nullopt;
  return std::filesystem::path(*chosen);
}

}  // namespace vlvpn
