#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
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
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <vector>

#include "common/process_handle.h"
#include "service/peer.h"

namespace vlvpn::service {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxRequest = 1 + 4096;  // a kind and a path
constexpr std::size_t kChunk = 8192;

// FUSE's statfs magic: a file system whose server the user may run, and stall.
constexpr long kFuseMagic = 0x65735546;

// The child keeps a copy of the service's memory and descriptors: it is made
// undumpable (no ptrace, no core, no /proc/<pid>/mem or fd for the user it becomes) and
// lets go of every descriptor but `keep` before it becomes the user. 0, or the error.
int DropToUser(const Peer& user, int keep) {
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const rlimit no_core{0, 0};
  if (::setrlimit(RLIMIT_CORE, &no_core) != 0) return errno;
  if ((keep > 0 && ::syscall(SYS_close_range, 0U, static_cast<unsigned>(keep - 1), 0U) != 0) ||
      ::syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0U, 0U) != 0) {
    return errno;
  }
  if (::syscall(SYS_setgroups, user.groups.size(), user.groups.data()) != 0 ||
      ::syscall(SYS_setresgid, user.gid, user.gid, user.gid) != 0 ||
      ::syscall(SYS_setresuid, user.uid, user.uid, user.uid) != 0) {
    return errno;
  }
  // The change of user set both back (dumpable as fs.suid_dumpable says).
  if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) return errno;
  ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
  return 0;
}

// In the child, as the user (system calls only): opens `name` with `flags`, a regular
// file only (a device or a pipe could block or never end), not on FUSE when `no_fuse`.
// 0, or the error number: EINVAL for "not a regular file", EXDEV for FUSE.
int OpenRegular(const char* name, int flags, bool no_fuse, int& fd) {
  fd = ::open(name, flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
  if (fd < 0) return errno;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return EINVAL;
  // /proc/self would be this child, a copy of the service: its map, its command line.
  struct statfs system {};
  if (::fstatfs(fd, &system) != 0 || system.f_type == PROC_SUPER_MAGIC || system.f_type == SYSFS_MAGIC) {
    return EINVAL;
  }
  return no_fuse && system.f_type == kFuseMagic ? EXDEV : 0;
}

constexpr int kTimedOut = -1;
constexpr int kEnded = -2;

// What a code means to the user: OpenRegular's, the child's, or ours.
std::string OpenErrorText(int code) {
  if (code == kTimedOut) return "timed out";
  if (code == kEnded) return "the reading process ended";
  if (code == EINVAL) return "not a regular file";
  if (code == EXDEV) return "on a FUSE file system, which the service does not write to";
  return std::strerror(code);
}

// Children that SIGKILL has not ended yet: one stuck in a FUSE request ends only when
// its server answers. Reaped whenever another helper ends, never waited for.
std::mutex stuck_lock;
std::vector<pid_t> stuck;

// Ends a helper child, whatever it was doing, and reaps it, or leaves it to be reaped.
// A START waits for this: the wait is on its pidfd (which also reaps it), not in steps.
void EndHelper(pid_t pid) {
  ::kill(pid, SIGKILL);
  if (const auto child = ProcessHandle::Open(static_cast<std::uint32_t>(pid))) {
    child->WaitForExit(std::chrono::seconds(1));
  }
  std::lock_guard guard(stuck_lock);
  stuck.push_back(pid);
  std::erase_if(stuck, [](pid_t child) { return ::waitpid(child, nullptr, WNOHANG) != 0; });
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

// The child's side, as the user (system calls only). A request is one datagram: a
// kind ('R' read, 'L' log) and the path. A read answers 'E' with the open's code, then
// 'D' datagrams of bytes and a 'Z'; a log answers 'E' with the code and the descriptor.
// `refused`, when not 0, is the code every request gets: the child could not become the user.
[[noreturn]] void ServeAsUser(int channel, int refused) {
  char request[kMaxRequest + 1];
  char reply[1 + kChunk];
  for (;;) {
    const ssize_t n = ::recv(channel, request, kMaxRequest, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 2) ::_exit(0);
    request[n] = '\0';
    const bool log = request[0] == 'L';
    int fd = -1;
    // OpenVPN writes the log, and the service empties it: never on a file system whose
    // server the user could stall.
    const int code = refused != 0 ? refused
                                  : OpenRegular(request + 1, log ? O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW : O_RDONLY,
                                                log, fd);
    reply[0] = 'E';
    std::memcpy(reply + 1, &code, sizeof code);
    iovec payload{reply, 1 + sizeof code};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &payload;
    message.msg_iovlen = 1;
    if (log && code == 0) {
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      cmsghdr* header = CMSG_FIRSTHDR(&message);
      header->cmsg_level = SOL_SOCKET;
      header->cmsg_type = SCM_RIGHTS;
      header->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    }
    if (::sendmsg(channel, &message, MSG_NOSIGNAL) < 0) ::_exit(1);
    if (!log && code == 0) {
      reply[0] = 'D';
      for (;;) {
        const ssize_t got = ::read(fd, reply + 1, kChunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
          // A failed read is no end of the file: 'F' with the error.
          const int error = errno;
          reply[0] = 'F';
          std::memcpy(reply + 1, &error, sizeof error);
          if (::send(channel, reply, 1 + sizeof error, MSG_NOSIGNAL) < 0) ::_exit(1);
          break;
        }
        if (got == 0) {
          if (::send(channel, "Z", 1, MSG_NOSIGNAL) < 0) ::_exit(1);
          break;
        }
        if (::send(channel, reply, 1 + static_cast<std::size_t>(got), MSG_NOSIGNAL) < 0) ::_exit(1);
      }
    }
    if (fd >= 0) ::close(fd);
  }
}

// Field 4 of /proc/<pid>/stat; 0 when unknown.
pid_t ParentOf(pid_t pid) {
  const std::vector<std::string> fields = ProcessStat(pid);
  return fields.size() > 1 ? static_cast<pid_t>(std::strtol(fields[1].c_str(), nullptr, 10)) : 0;
}

}  // namespace

std::vector<std::string> ProcessStat(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  const std::string stat{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  // The name is the process's to choose (any byte but NUL): only the last ")" ends it.
  const std::size_t close = stat.rfind(')');
  std::vector<std::string> fields;
  if (close == std::string::npos) return fields;
  std::istringstream rest(stat.substr(close + 1));
  for (std::string field; rest >> field;) fields.push_back(field);
  return fields;
}

bool Peer::InGroup(gid_t group) const {
  return gid == group || std::find(groups.begin(), groups.end(), group) != groups.end();
}

bool ReadPeer(int socket, Peer& peer, bool hold_process) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return false;
  peer.pid = credentials.pid;
  peer.uid = credentials.uid;
  peer.gid = credentials.gid;
  if (hold_process) {
    int pidfd = -1;
    socklen_t pidfd_size = sizeof pidfd;
    if (::getsockopt(socket, SOL_SOCKET, kSoPeerPidFd, &pidfd, &pidfd_size) == 0) {
      peer.process = ProcessHandle::Adopt(pidfd, static_cast<std::uint32_t>(peer.pid));
    } else if (errno == ENOPROTOOPT) {
      // A kernel before 6.5: opened by pid, which another process may have taken already.
      peer.process = ProcessHandle::Open(static_cast<std::uint32_t>(peer.pid));
    }
  }
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

bool PeerIsChildOf(const Peer& peer, pid_t parent) {
  // The parent is read before the process is seen to run: the pid was its all along.
  return ParentOf(peer.pid) == parent && peer.process && !peer.process->HasExited();
}

UserFiles::UserFiles(const Peer& user, UserDeadline deadline) : user_(user), deadline_(deadline) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    broken_ = std::strerror(errno);
    return;
  }
  channel_ = UniqueFd(pair[0]);
  UniqueFd theirs(pair[1]);
  pid_ = ::fork();
  if (pid_ < 0) {
    broken_ = std::strerror(errno);
    return;
  }
  if (pid_ == 0) {
    ServeAsUser(theirs.get(), DropToUser(user_, theirs.get()));
  }
}

UserFiles::~UserFiles() { End("ended"); }

void UserFiles::End(std::string error) {
  if (broken_.empty()) broken_ = std::move(error);
  channel_ = UniqueFd();
  if (pid_ > 0) EndHelper(pid_);
  pid_ = -1;
}

// Sends one request and reads the open's code; false with `error` set when it failed.
bool UserFiles::Ask(char kind, const std::filesystem::path& path, std::string& error) {
  const std::string name = path.string();
  if (name.size() + 1 > kMaxRequest || name.find('\0') != std::string::npos) {
    error = std::strerror(ENAMETOOLONG);
    return false;
  }
  if (!broken_.empty()) {
    error = broken_;
    return false;
  }
  const std::string request = kind + name;
  if (::send(channel_.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    End(OpenErrorText(kEnded));
    error = broken_;
    return false;
  }
  return true;
}

UserRead UserFiles::Read(const std::filesystem::path& path, std::size_t limit) {
  UserRead result;
  if (!Ask('R', path, result.error)) return result;
  char reply[1 + kChunk];
  int code = -1;
  for (;;) {
    if (!WaitReadable(channel_.get(), deadline_)) {
      End(OpenErrorText(kTimedOut));
      break;
    }
    const ssize_t n = ::recv(channel_.get(), reply, sizeof reply, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 1) {
      End(OpenErrorText(kEnded));
      break;
    }
    if (reply[0] == 'E' && n == 1 + sizeof code) {
      std::memcpy(&code, reply + 1, sizeof code);
      if (code != 0) break;
    } else if (reply[0] == 'D' && code == 0) {
      result.bytes.append(reply + 1, static_cast<std::size_t>(n - 1));
      if (result.bytes.size() > limit) {
        // The rest stays unread: this child answers nothing more.
        End("larger than " + std::to_string(limit) + " bytes");
        result.error = broken_;
        result.bytes.clear();
        return result;
      }
    } else if (reply[0] == 'Z' && code == 0) {
      result.ok = true;
      return result;
    } else if (reply[0] == 'F' && code == 0 && n == 1 + sizeof code) {
      std::memcpy(&code, reply + 1, sizeof code);
      break;
    } else {
      End(OpenErrorText(kEnded));
      break;
    }
  }
  result.bytes.clear();
  result.error = code > 0 ? OpenErrorText(code) : broken_;
  return result;
}

UniqueFd UserFiles::OpenLog(const std::filesystem::path& path, std::string& error) {
  if (!Ask('L', path, error)) return UniqueFd();
  char reply[1 + sizeof(int)];
  iovec payload{reply, sizeof reply};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &payload;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  UniqueFd log;
  int code = kTimedOut;
  if (WaitReadable(channel_.get(), deadline_)) {
    const ssize_t n = ::recvmsg(channel_.get(), &message, MSG_CMSG_CLOEXEC);
    // Whatever descriptor came is owned here, and closed unless all is well.
    for (cmsghdr* header = n > 0 ? CMSG_FIRSTHDR(&message) : nullptr; header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
      if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS) {
        int fd = -1;
        std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
        log = UniqueFd(fd);
      }
    }
    code = kEnded;
    if (n == static_cast<ssize_t>(sizeof reply) && reply[0] == 'E' && (message.msg_flags & MSG_CTRUNC) == 0) {
      std::memcpy(&code, reply + 1, sizeof code);
      if (code == 0 && !log.valid()) code = kEnded;
    }
  }
  if (code == kTimedOut || code == kEnded) End(OpenErrorText(code));
  if (code == 0) return log;
  error = code == ELOOP ? "a symbolic link" : OpenErrorText(code);  // O_NOFOLLOW refused a link
  return UniqueFd();
}

}  // namespace vlvpn::service
