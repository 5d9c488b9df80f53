#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>

#include "common/unique_fd.h"
#include "service/daemon.h"

namespace vlvpn::service {

struct ServerLimits {
  std::size_t max_line = 16 * 1024;               // a command longer than this is refused
  std::chrono::milliseconds line_deadline{5000};  // a client that sends no whole line by then is dropped
  std::size_t max_clients = 512;                  // connections beyond this are told to come back
  std::size_t max_per_user = 16;                  // and beyond this many of one user's
  std::size_t max_preparations = 8;               // STARTs being read at once (one per user)
};

// Serves the kill-switch line protocol on `listener`: one command per connection, one
// line back. Connections are read and answered by one thread, so a slow or silent
// client holds up no one; commands go in order to a second thread that owns the
// Daemon. A START's files are read as its user on a thread of its own first, so that a
// user who stalls the reading stalls only their own START. Only root and members of
// `group` are heard; on `helper_listener` only OpenVPN's account, with DNS reports.
class Server {
 public:
  Server(UniqueFd listener, std::optional<gid_t> group, Daemon& daemon, ServerLimits limits = {},
         UniqueFd helper_listener = {});
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  ~Server();

  // Serves until Stop; returns when both threads are done.
  void Run();
  // From any thread.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A unix socket bound at `path` (a stale socket there replaced), 0660, group `group`.
UniqueFd ListenOn(const std::string& path, std::optional<gid_t> group, std::string& error);

// The socket systemd passed (LISTEN_FDS), or invalid.
UniqueFd ListenerFromSystemd();

}  // namespace vlvpn::service
