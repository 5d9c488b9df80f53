#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/process_handle.h"
#include "common/unique_fd.h"

namespace vlvpn::service {

// Who is at the other end of a unix socket, as the kernel saw it at connect time.
struct Peer {
  pid_t pid = 0;
  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid = static_cast<gid_t>(-1);
  std::vector<gid_t> groups;  // supplementary
  // With `hold_process`: the connecting process itself, which `pid` may stop naming once
  // it has ended. Null when it had already ended.
  std::shared_ptr<ProcessHandle> process;

  bool InGroup(gid_t group) const;
};

// SO_PEERPIDFD (Linux 6.5), newer than our headers.
inline constexpr int kSoPeerPidFd = 77;

// SO_PEERCRED and SO_PEERGROUPS (and SO_PEERPIDFD for `hold_process`); false when the
// kernel would not say.
bool ReadPeer(int socket, Peer& peer, bool hold_process = false);

// The fields of /proc/<pid>/stat after the process's name, its state first; empty when
// the process is gone.
std::vector<std::string> ProcessStat(pid_t pid);

// Whether a peer read with `hold_process` is a child of `parent` and still runs (by its
// pid alone, a peer that has ended could be taken for the next process given that pid).
bool PeerIsChildOf(const Peer& peer, pid_t parent);

struct UserRead {
  bool ok = false;
  std::string bytes;
  std::string error;  // e.g. "Permission denied"
};

using UserDeadline = std::chrono::steady_clock::time_point;

// Opens files with the user's rights alone: a child that has become the user opens
// them, so a path the user could not open stays unopened. One child serves every
// request (a fork is dear); it is killed at the deadline (the user can stall it) or
// when this ends. After a failure that leaves the child's answer unread, every later
// request fails too.
class UserFiles {
 public:
  UserFiles(const Peer& user, UserDeadline deadline);
  ~UserFiles();
  UserFiles(const UserFiles&) = delete;
  UserFiles& operator=(const UserFiles&) = delete;

  // A regular file's bytes, at most `limit` of them.
  UserRead Read(const std::filesystem::path& path, std::size_t limit);

  // A log file opened (created) for appending, never through a symbolic link; the file
  // is the user's. Not emptied here: that is for the launch, once it is sure to happen
  // (a START refused must not empty the log of the OpenVPN that runs). Invalid with
  // `error` set on failure.
  UniqueFd OpenLog(const std::filesystem::path& path, std::string& error);

 private:
  bool Ask(char kind, const std::filesystem::path& path, std::string& error);
  void End(std::string error);

  Peer user_;
  UserDeadline deadline_;
  UniqueFd channel_;
  pid_t pid_ = -1;
  std::string broken_;  // why no more requests are served
};

}  // namespace vlvpn::service
