#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vlvpn {

// Null-terminated pointers into `strings`, for exec and posix_spawn; valid while the
// strings are.
std::vector<char*> ExecPointers(std::vector<std::string>& strings);

// Starts a program in a session of its own with its standard streams on /dev/null,
// so it outlives us and never writes to our terminal; with `output`, its standard
// output and error are appended to that file instead (made 0600, never through a
// link; /dev/null when it cannot be opened). argv[0] is the program (looked up in PATH
// when `search_path`). Its pid, or 0 with `error` set.
pid_t SpawnDetached(std::vector<std::string> argv, bool search_path, int& error, const std::string& output = {});

}  // namespace vlvpn
