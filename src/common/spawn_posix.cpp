#include "common/spawn_posix.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include "common/unique_fd.h"

extern char** environ;

namespace vlvpn {

std::vector<char*> ExecPointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

pid_t SpawnDetached(std::vector<std::string> argv, bool search_path, int& error, const std::string& output) {
  if (argv.empty()) {
    error = EINVAL;
    return 0;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  const UniqueFd out(output.empty() ? -1
                                    : ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC,
                                             0600));
  if (out.valid()) {
    posix_spawn_file_actions_adddup2(&actions, out.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, out.get(), 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  std::vector<char*> args = ExecPointers(argv);
  pid_t pid = 0;
  error = search_path ? posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ)
                      : posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return error == 0 ? pid : 0;
}

}  // namespace vlvpn
