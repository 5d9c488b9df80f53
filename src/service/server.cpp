#include "service/server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "service/request.h"

namespace vlvpn::service {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kMaxReply = 500;  // the client reads 511 bytes at most

// For the log: what a user sent may hold control characters (a path with an escape sequence).
std::string Printable(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text;
}

// One line, whatever the text held.
std::string ReplyLine(std::string reply) {
  for (char& c : reply) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  if (reply.size() > kMaxReply) reply.resize(kMaxReply);
  return reply + "\n";
}

// Answered connections linger until the client closes (or a second passes): closing
// with unread bytes would reset the connection and could lose the reply.
constexpr auto kDrainTime = std::chrono::seconds(1);

enum class Phase { kReading, kWaiting, kDraining };

struct Connection {
  UniqueFd socket;
  Peer peer;
  std::string buffer;
  Clock::time_point deadline;
  Phase phase = Phase::kReading;  // kWaiting: with the daemon; the reply comes back by id
  bool helper = false;            // the service's helper, run by its OpenVPN: reports DNS, nothing else
};

const char* CommandName(Command command) {
  switch (command) {
    case Command::kPing: return "PING";
    case Command::kStart: return "OPENVPN_START";
    case Command::kStatus: return "OPENVPN_STATUS";
    case Command::kStop: return "OPENVPN_STOP";
    case Command::kEnable: return "ENABLE";
    case Command::kDisable: return "DISABLE";
    case Command::kBlockIpv6: return "BLOCK_IPV6";
    case Command::kUnblockIpv6: return "UNBLOCK_IPV6";
    case Command::kDns: return "DNS";
  }
  return "?";
}

struct Job {
  std::uint64_t id;
  Peer peer;
  Request request;
  std::shared_ptr<PreparedStart> prepared;  // a START, read and checked
};

struct Preparation {
  std::thread thread;
  uid_t uid;
};

}  // namespace

struct Server::Impl {
  UniqueFd listener;
  UniqueFd helper_listener;
  std::optional<gid_t> group;
  Daemon& daemon;
  ServerLimits limits;
  UniqueFd wake{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};       // the serving thread's
  UniqueFd jobs_wake{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};  // the daemon's thread's

  std::mutex lock;  // guards the fields below
  std::deque<Job> jobs;
  std::deque<std::pair<std::uint64_t, std::string>> replies;
  std::vector<std::uint64_t> prepared;  // preparations done, to be joined
  bool stopping = false;

  std::map<std::uint64_t, Preparation> preparations;  // the serving thread's

  Impl(UniqueFd l, UniqueFd h, std::optional<gid_t> g, Daemon& d, ServerLimits s)
      : listener(std::move(l)), helper_listener(std::move(h)), group(g), daemon(d), limits(s) {}

  void Wake() {
    const std::uint64_t one = 1;
    (void)!::write(wake.get(), &one, sizeof one);
  }

  bool Stopping() {
    std::lock_guard guard(lock);
    return stopping;
  }

  // The daemon's thread: commands in the order they came, OpenVPN's end the moment it
  // comes, and a look at OpenVPN each second (every 20 ms while a stop waits for it).
  void RunDaemon() {
    std::vector<Job> stops;  // OPENVPN_STOPs waiting for OpenVPN to end
    // Kept however many commands come: a stream of them must not put off the look (it
    // is all there is where no pidfd could be had).
    auto next_look = Clock::now() + std::chrono::seconds(1);
    std::unique_lock guard(lock);
    while (!stopping) {
      if (!stops.empty()) {
        guard.unlock();
        std::optional<std::string> done = daemon.FinishStop();
        guard.lock();
        if (done) {
          for (const Job& job : stops) Reply(job, *done);
          stops.clear();
        }
      }
      if (jobs.empty()) {
        const auto until_look = std::chrono::duration_cast<std::chrono::milliseconds>(next_look - Clock::now());
        const long long pause = stops.empty() ? std::max<long long>(0, until_look.count()) : 20;
        guard.unlock();
        pollfd fds[] = {{jobs_wake.get(), POLLIN, 0}, {daemon.OpenVpnEnded(), POLLIN, 0}};
        ::poll(fds, fds[1].fd >= 0 ? 2 : 1, static_cast<int>(pause));
        std::uint64_t count = 0;
        (void)!::read(jobs_wake.get(), &count, sizeof count);
        if (stops.empty() && ((fds[1].revents & POLLIN) != 0 || Clock::now() >= next_look)) {
          daemon.Tick();
          next_look = Clock::now() + std::chrono::seconds(1);
        }
        guard.lock();
        continue;
      }
      Job job = std::move(jobs.front());
      jobs.pop_front();
      guard.unlock();
      const std::optional<std::string> reply =
          job.prepared ? daemon.Launch(std::move(*job.prepared), job.peer) : daemon.Handle(job.request, job.peer);
      guard.lock();
      if (reply) {
        Reply(job, *reply);
      } else {
        stops.push_back(std::move(job));
      }
    }
  }

  // With the lock held: the daemon's thread has work.
  void JobsReady() {
    const std::uint64_t one = 1;
    (void)!::write(jobs_wake.get(), &one, sizeof one);
  }

  // With the lock held.
  void Reply(const Job& job, const std::string& reply) {
    if (job.request.command != Command::kStatus) {
      std::fprintf(stderr, "%s from user %u: %s\n", CommandName(job.request.command),
                   static_cast<unsigned>(job.peer.uid), Printable(reply).c_str());
    }
    replies.emplace_back(job.id, reply);
    Wake();
  }

  static std::size_t CountOf(const std::map<std::uint64_t, Connection>& connections, uid_t uid) {
    std::size_t count = 0;
    for (const auto& [id, connection] : connections) count += connection.peer.uid == uid ? 1 : 0;
    return count;
  }

  // A START's files are read off both threads; its launch joins the daemon's queue.
  void Prepare(std::uint64_t id, Connection& connection, const Request& request) {
    std::size_t mine = 0;
    for (const auto& [other, preparation] : preparations) mine += preparation.uid == connection.peer.uid ? 1 : 0;
    if (mine > 0 || preparations.size() >= limits.max_preparations) {
      Answer(connection, mine > 0 ? "Busy: a start of yours is still being read, try again"
                                  : "Busy: too many starts at once, try again");
      return;
    }
    try {
      std::thread thread([this, id, peer = connection.peer, request] {
        auto ready = std::make_shared<PreparedStart>(PrepareStart(daemon.options(), request.start, peer));
        std::lock_guard guard(lock);
        jobs.push_back({id, peer, request, std::move(ready)});
        JobsReady();
        prepared.push_back(id);
        Wake();
      });
      preparations.emplace(id, Preparation{std::move(thread), connection.peer.uid});
      connection.phase = Phase::kWaiting;
    } catch (const std::system_error&) {
      Answer(connection, "Busy: cannot read the start now, try again");
    }
  }

  void JoinPrepared(const std::vector<std::uint64_t>& done) {
    for (const std::uint64_t id : done) {
      const auto found = preparations.find(id);
      if (found == preparations.end()) continue;
      found->second.thread.join();
      preparations.erase(found);
    }
  }

  bool Allowed(const Peer& peer) const { return peer.uid == 0 || (group && peer.InGroup(*group)); }

  static void Answer(Connection& connection, const std::string& reply) {
    const std::string line = ReplyLine(reply);
    (void)!::send(connection.socket.get(), line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(connection.socket.get(), SHUT_WR);
    connection.phase = Phase::kDraining;
    connection.deadline = Clock::now() + kDrainTime;
  }

  // Members and root on the listener; OpenVPN's account alone on the helper's.
  void Accept(std::map<std::uint64_t, Connection>& connections, std::uint64_t& next_id, bool helper) {
    for (;;) {
      UniqueFd socket(
          ::accept4((helper ? helper_listener : listener).get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (!socket.valid()) return;
      Connection connection{std::move(socket), {}, {}, Clock::now() + limits.line_deadline, Phase::kReading, helper};
      const auto& account = daemon.options().openvpn_account;
      if (connections.size() >= limits.max_clients) {
        Answer(connection, "Busy: too many connections, try again");
        continue;  // closed at once: holding it would defeat the limit
      }
      if (!ReadPeer(connection.socket.get(), connection.peer, helper)) {
        Answer(connection, "Refused: cannot tell who is asking");
      } else if (helper && (!account || connection.peer.uid != account->uid)) {
        Answer(connection, "Refused: this socket is for the service's OpenVPN");
      } else if (!helper && !Allowed(connection.peer)) {
        std::fprintf(stderr, "refused user %u (pid %d): not root and not in the service's group\n",
                     static_cast<unsigned>(connection.peer.uid), static_cast<int>(connection.peer.pid));
        Answer(connection, "Refused: only root and members of the service's group may use the kill-switch service");
      } else if (connection.peer.uid != 0 && CountOf(connections, connection.peer.uid) >= limits.max_per_user) {
        Answer(connection, "Busy: too many connections of yours, try again");
        continue;
      }
      connections.emplace(next_id++, std::move(connection));
    }
  }

  // Reads what is there; true when the connection is finished with.
  bool Read(std::uint64_t id, Connection& connection) {
    char chunk[4096];
    for (;;) {
      const ssize_t n = ::recv(connection.socket.get(), chunk, sizeof chunk, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
      if (n <= 0) return true;  // gone (before a whole line, or after the reply)
      if (connection.phase == Phase::kDraining) continue;
      connection.buffer.append(chunk, static_cast<std::size_t>(n));
      const std::size_t end = connection.buffer.find('\n');
      if (end == std::string::npos && connection.buffer.size() <= limits.max_line) continue;
      if (end == std::string::npos || end > limits.max_line) {
        Answer(connection, "Refused: a command is one line of at most " + std::to_string(limits.max_line) + " bytes");
        continue;
      }
      const std::string_view line = std::string_view(connection.buffer).substr(0, end);
      ParsedRequest parsed;
      if (connection.helper) {
        const std::optional<DnsReport> report = ParseDnsReport(line);
        parsed = report ? ParsedRequest{true, {Command::kDns, {}, {}, *report}, {}}
                        : ParsedRequest{false, {}, "Refused: not a DNS report"};
      } else {
        parsed = ParseRequest(line);
      }
      connection.buffer.clear();
      if (!parsed.ok) {
        Answer(connection, parsed.error);
        continue;
      }
      if (parsed.request.command == Command::kPing) {  // answered here, even while the daemon is busy
        Answer(connection, "PONG");
        continue;
      }
      if (parsed.request.command == Command::kStart) {
        Prepare(id, connection, parsed.request);
        return false;
      }
      connection.phase = Phase::kWaiting;
      std::lock_guard guard(lock);
      jobs.push_back({id, connection.peer, parsed.request, nullptr});
      JobsReady();
      return false;
    }
  }

  void Serve() {
    std::map<std::uint64_t, Connection> connections;
    std::uint64_t next_id = 1;
    std::vector<pollfd> fds;
    std::vector<std::uint64_t> ids;
    while (!Stopping()) {
      fds.assign({{wake.get(), POLLIN, 0}, {listener.get(), POLLIN, 0}, {helper_listener.get(), POLLIN, 0}});
      ids.assign({0, 0, 0});
      auto next_deadline = Clock::now() + std::chrono::seconds(1);
      for (auto& [id, connection] : connections) {
        if (connection.phase == Phase::kWaiting) continue;
        fds.push_back({connection.socket.get(), POLLIN, 0});
        ids.push_back(id);
        next_deadline = std::min(next_deadline, connection.deadline);
      }
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next_deadline - Clock::now());
      const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, wait.count()) + 1));
      if (ready < 0 && errno != EINTR) break;
      if (fds[0].revents != 0) {
        std::uint64_t count;
        (void)!::read(wake.get(), &count, sizeof count);
        std::deque<std::pair<std::uint64_t, std::string>> done;
        std::vector<std::uint64_t> joinable;
        {
          std::lock_guard guard(lock);
          done.swap(replies);
          joinable.swap(prepared);
        }
        JoinPrepared(joinable);
        for (auto& [id, reply] : done) {
          const auto found = connections.find(id);
          if (found == connections.end()) continue;
          Answer(found->second, reply);
        }
      }
      if (fds[1].revents != 0) Accept(connections, next_id, false);
      if (fds[2].revents != 0) Accept(connections, next_id, true);
      for (std::size_t i = 3; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        const auto found = connections.find(ids[i]);
        if (found != connections.end() && Read(ids[i], found->second)) connections.erase(found);
      }
      const auto now = Clock::now();
      std::erase_if(connections, [&](const auto& entry) {
        return entry.second.phase != Phase::kWaiting && entry.second.deadline <= now;
      });
    }
    // Each ends by its deadline for reading as the user.
    for (auto& [id, preparation] : preparations) preparation.thread.join();
    preparations.clear();
  }
};

Server::Server(UniqueFd listener, std::optional<gid_t> group, Daemon& daemon, ServerLimits limits,
               UniqueFd helper_listener)
    : impl_(std::make_unique<Impl>(std::move(listener), std::move(helper_listener), group, daemon, limits)) {}

Server::~Server() = default;

void Server::Run() {
  std::thread daemon_thread([this] { impl_->RunDaemon(); });
  impl_->Serve();
  Stop();
  daemon_thread.join();
}

void Server::Stop() {
  {
    std::lock_guard guard(impl_->lock);
    impl_->stopping = true;
    impl_->JobsReady();
  }
  impl_->Wake();
}

UniqueFd ListenOn(const std::string& path, std::optional<gid_t> group, std::string& error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address.sun_path)) {
    error = "socket path too long";
    return UniqueFd();
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  struct stat existing {};
  if (::lstat(path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      error = path + " exists and is not a socket";
      return UniqueFd();
    }
    ::unlink(path.c_str());
  }
  // Made with no access at all, then opened to the group: never a moment open to all.
  const mode_t old_mask = ::umask(0777);
  const bool bound = ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::umask(old_mask);
  if (!bound || (group && ::chown(path.c_str(), 0, *group) != 0) || ::chmod(path.c_str(), 0660) != 0 ||
      ::listen(socket.get(), 256) != 0) {
    error = path + ": " + std::strerror(errno);
    return UniqueFd();
  }
  return socket;
}

UniqueFd ListenerFromSystemd() {
  const char* pid = std::getenv("LISTEN_PID");
  const char* count = std::getenv("LISTEN_FDS");
  if (pid == nullptr || count == nullptr || std::atoi(pid) != ::getpid() || std::atoi(count) < 1) return UniqueFd();
  constexpr int kFirst = 3;
  ::fcntl(kFirst, F_SETFD, FD_CLOEXEC);
  ::fcntl(kFirst, F_SETFL, ::fcntl(kFirst, F_GETFL) | O_NONBLOCK);
  return UniqueFd(kFirst);
}

}  // namespace vlvpn::service
