#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "common/unique_fd.h"

namespace vlvpn::service {

// Who is at the other end of a unix socket, as the kernel saw it at connect time.
struct Peer {
  pid_t pid = 0;
  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid = static_cast<gid_t>(-1);
  std::vector<gid_t> groups;  // supplementary

  bool InGroup(gid_t group) const;
};

// SO_PEERCRED and SO_PEERGROUPS; false when the kernel would not say.
bool ReadPeer(int socket, Peer& peer);

struct UserRead {
  bool ok = false;
  std::string bytes;
  std::string error;  // e.g. "Permission denied"
};

using UserDeadline = std::chrono::steady_clock::time_point;

// Reads a regular file with the user's rights alone (a child that becomes the user
// opens it), so a path the user could not read stays unread. At most `limit` bytes; a
// child still at work at the deadline (the user can stop it) is killed.
UserRead ReadFileAsUser(const Peer& user, const std::filesystem::path& path, std::size_t limit,
                        UserDeadline deadline);

// Opens (creates) a log file for appending with the user's rights, never through a
// symbolic link; the file is the user's. Not emptied here: that is for the launch, once
// it is sure to happen (a START refused must not empty the log of the OpenVPN that runs). Invalid with `error` set on failure.
UniqueFd OpenLogAsUser(const Peer& user, const std::filesystem::path& path, UserDeadline deadline,
                       std::string& error);

}  // namespace vlvpn::service
