#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "service/firewall.h"
#include "service/peer.h"
#include "service/request.h"
#include "service/rules.h"

namespace vlvpn::service {

struct DaemonOptions {
  std::filesystem::path state_dir = "/run/vlvpn";
  // Where a trusted OpenVPN may live (after resolving links).
  std::vector<std::filesystem::path> trusted_folders = {"/usr/sbin", "/usr/bin", "/sbin", "/bin",
                                                        "/usr/local/sbin", "/usr/local/bin"};
};

// The service's state and its one owner: the firewall's rules, the OpenVPN it runs and
// the record of both under the state folder, so that a restart finds them. Not
// thread-safe: one thread calls it, command by command.
class Daemon {
 public:
  Daemon(DaemonOptions options, std::unique_ptr<Firewall> firewall);
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // Takes up what an earlier run left: the rules as recorded (never flushed) and an
  // OpenVPN it started that still runs.
  void Restore();
  // The one-line reply to a command from `peer`.
  std::string Handle(const Request& request, const Peer& peer);
  // Notices an OpenVPN that ended on its own.
  void Tick();

 private:
  struct Running {
    pid_t pid = 0;
    unsigned long long start_time = 0;  // /proc start time: a reused pid is not ours
    uid_t owner = 0;
    bool child = false;  // ours to reap (false after a restart)
  };

  std::string Start(const StartRequest& start, const Peer& peer);
  std::string Stop(const Peer& peer);
  std::string SetRules(const FirewallState& next);
  bool Alive();
  void Forget();
  void RemoveSession() const;
  void Save() const;
  std::filesystem::path StateFile() const { return options_.state_dir / "state"; }
  std::filesystem::path SessionFolder() const { return options_.state_dir / "openvpn"; }

  DaemonOptions options_;
  std::unique_ptr<Firewall> firewall_;
  FirewallState rules_;
  Running openvpn_;
};

// "Refused: ..." when `program` is not a root-owned OpenVPN in a trusted folder.
std::string CheckTrustedOpenVpn(const std::string& program, const std::vector<std::filesystem::path>& folders,
                                std::filesystem::path& resolved);

}  // namespace vlvpn::service
