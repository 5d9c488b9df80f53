#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "service/peer.h"

namespace vlvpn::service {
namespace {

using Clock = std::chrono::steady_clock;

// The child keeps a copy of the service's memory and descriptors: it is made
// undumpable (no ptrace, no /proc/<pid>/mem or fd for the user it becomes) and lets go
// of every descriptor but `keep` before it becomes the user.
bool DropToUser(const Peer& user, int keep) {
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  if (keep > 3) ::syscall(SYS_close_range, 3U, static_cast<unsigned>(keep - 1), 0U);
  ::syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0U, 0U);
  return ::syscall(SYS_setgroups, user.groups.size(), user.groups.data()) == 0 &&
         ::syscall(SYS_setresgid, user.gid, user.gid, user.gid) == 0 &&
         ::syscall(SYS_setresuid, user.uid, user.uid, user.uid) == 0;
}

// In the child, after fork (system calls only): becomes the user and opens `name` with
// `flags`, a regular file only (a device or a pipe could block or never end). 0, or the
// error number with EINVAL for "not a regular file".
int OpenAsUser(const Peer& user, int keep, const char* name, int flags, int& fd) {
  if (!DropToUser(user, keep)) return errno;
  fd = ::open(name, flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
  if (fd < 0) return errno;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return EINVAL;
  // /proc/self would be this child, a copy of the service: its map, its command line.
  struct statfs system {};
  if (::fstatfs(fd, &system) != 0 || system.f_type == PROC_SUPER_MAGIC || system.f_type == SYSFS_MAGIC) {
    return EINVAL;
  }
  return 0;
}

// What OpenAsUser's code means to the user; -1 is a child that never answered.
std::string OpenErrorText(int code) {
  if (code == -1) return "timed out";
  if (code == EINVAL) return "not a regular file";
  return std::strerror(code);
}

void WriteAll(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
}

// Ends a helper child, whatever it was doing, and reaps it.
void EndHelper(pid_t pid) {
  ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

bool WaitReadable(int fd, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

}  // namespace

bool Peer::InGroup(gid_t group) const {
  return gid == group || std::find(groups.begin(), groups.end(), group) != groups.end();
}

bool ReadPeer(int socket, Peer& peer) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return false;
  peer.pid = credentials.pid;
  peer.uid = credentials.uid;
  peer.gid = credentials.gid;
  std::vector<gid_t> groups(64);
  for (int attempt = 0; attempt < 3; ++attempt) {
    socklen_t bytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes) == 0) {
      groups.resize(bytes / sizeof(gid_t));
      peer.groups = std::move(groups);
      return true;
    }
    if (errno != ERANGE) return false;
    groups.resize(bytes / sizeof(gid_t) + 1);
  }
  return false;
}

UserRead ReadFileAsUser(const Peer& user, const std::filesystem::path& path, std::size_t limit,
                        UserDeadline deadline) {
  UserRead result;
  int channel[2];
  if (::pipe2(channel, O_CLOEXEC) != 0) {
    result.error = std::strerror(errno);
    return result;
  }
  UniqueFd reader(channel[0]);
  UniqueFd writer(channel[1]);
  const std::string name = path.string();
  const pid_t pid = ::fork();
  if (pid < 0) {
    result.error = std::strerror(errno);
    return result;
  }
  if (pid == 0) {
    int fd = -1;
    const int error = OpenAsUser(user, writer.get(), name.c_str(), O_RDONLY, fd);
    WriteAll(writer.get(), &error, sizeof error);
    if (error != 0) ::_exit(1);
    char buffer[8192];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      WriteAll(writer.get(), buffer, static_cast<std::size_t>(n));
    }
    ::_exit(0);
  }
  writer = UniqueFd();
  int error = -1;
  std::size_t got = 0;
  std::string bytes;
  char buffer[8192];
  bool complete = false;
  while (WaitReadable(reader.get(), deadline)) {
    const ssize_t n = ::read(reader.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      complete = true;
      break;
    }
    bytes.append(buffer, static_cast<std::size_t>(n));
    if (got < sizeof error && bytes.size() >= sizeof error) {
      std::memcpy(&error, bytes.data(), sizeof error);
      bytes.erase(0, sizeof error);
      got = sizeof error;
    }
    if (bytes.size() > limit) break;
  }
  EndHelper(pid);
  if (got < sizeof error || error != 0) {
    result.error = OpenErrorText(got < sizeof error ? -1 : error);
  } else if (bytes.size() > limit) {
    result.error = "larger than " + std::to_string(limit) + " bytes";
  } else if (!complete) {
    result.error = "timed out";
  } else {
    result.ok = true;
    result.bytes = std::move(bytes);
  }
  return result;
}

UniqueFd OpenLogAsUser(const Peer& user, const std::filesystem::path& path, UserDeadline deadline,
                       std::string& error) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    error = std::strerror(errno);
    return UniqueFd();
  }
  UniqueFd ours(pair[0]);
  UniqueFd theirs(pair[1]);
  const std::string name = path.string();
  // Everything the child sends is laid out before the fork.
  int code = 0;
  iovec payload{&code, sizeof code};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &payload;
  message.msg_iovlen = 1;
  const pid_t pid = ::fork();
  if (pid < 0) {
    error = std::strerror(errno);
    return UniqueFd();
  }
  if (pid == 0) {
    int fd = -1;
    code = OpenAsUser(user, theirs.get(), name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW, fd);
    if (code == 0) {
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      cmsghdr* header = CMSG_FIRSTHDR(&message);
      header->cmsg_level = SOL_SOCKET;
      header->cmsg_type = SCM_RIGHTS;
      header->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    }
    (void)!::sendmsg(theirs.get(), &message, MSG_NOSIGNAL);
    ::_exit(0);
  }
  theirs = UniqueFd();
  UniqueFd log;
  code = -1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  if (WaitReadable(ours.get(), deadline) &&
      ::recvmsg(ours.get(), &message, MSG_CMSG_CLOEXEC) == static_cast<ssize_t>(sizeof code)) {
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
      if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS) {
        int fd = -1;
        std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
        log = UniqueFd(fd);
      }
    }
  }
  EndHelper(pid);
  if (code == 0 && log.valid()) return log;
  error = code == ELOOP ? "a symbolic link" : OpenErrorText(code);  // O_NOFOLLOW refused a link
  return UniqueFd();
}

}  // namespace vlvpn::service
