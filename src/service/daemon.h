#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/process_handle.h"
#include "common/unique_fd.h"
#include "service/firewall.h"
#include "service/peer.h"
#include "service/request.h"
#include "service/system_dns.h"
#include "service/rules.h"

namespace vlvpn::service {

// The system account OpenVPN runs under: never root, never the user who asked.
struct OpenVpnAccount {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
};

struct DaemonOptions {
  std::filesystem::path state_dir = "/run/vlvpn";
  std::optional<OpenVpnAccount> openvpn_account;  // none: OpenVPN is not started at all
  // All the reading a START does as its user, together.
  std::chrono::milliseconds user_work{5000};
  // Where a trusted OpenVPN may live (after resolving links).
  std::vector<std::filesystem::path> trusted_folders = {"/usr/sbin", "/usr/bin", "/sbin", "/bin",
                                                        "/usr/local/sbin", "/usr/local/bin"};
  // The service's own program OpenVPN runs when the tunnel goes up and down; it reports
  // the resolvers OpenVPN was given on the helper socket. Without it nothing starts.
  std::filesystem::path dns_helper;
  // How to undo the resolvers the service set, kept on disk like the resolver file itself
  // (a reboot empties /run, not /etc): "dns.json" and the file it replaced.
  std::filesystem::path dns_state_dir = "/var/lib/vlvpn";
  DnsPlaces dns;  // its `previous` is in dns_state_dir
};

// Where the DNS helper reports: only OpenVPN's account may connect.
std::filesystem::path DnsHelperSocket(const DaemonOptions& options);

// What a START needs, read as the user and checked, ready to launch. Made on a thread of
// its own, so a user who stops the reading child holds up nobody else.
struct PreparedStart {
  std::string refusal;  // non-empty: the reply, and nothing is started
  std::filesystem::path program;
  std::filesystem::path dns_helper;
  std::string profile;                                        // rendered; all OpenVPN reads of it
  std::vector<std::pair<std::string, std::string>> copies;   // file name in the session folder, bytes
  std::optional<std::string> credentials;
  std::string management_password;
  std::uint16_t management_port = 0;
  std::vector<std::string> tuning;
  UniqueFd log;
};

// Reads nothing of the daemon's state; any thread.
PreparedStart PrepareStart(const DaemonOptions& options, const StartRequest& start, const Peer& peer);

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
  // The one-line reply to a command from `peer` (a START is prepared here, in line);
  // nullopt for a STOP that waits for OpenVPN to end (FinishStop gives its reply).
  std::optional<std::string> Handle(const Request& request, const Peer& peer);
  // Starts what PrepareStart made, unless an OpenVPN runs already.
  std::string Launch(PreparedStart prepared, const Peer& peer);
  const DaemonOptions& options() const { return options_; }
  // Notices an OpenVPN that ended on its own.
  void Tick();
  // Readable once the OpenVPN it runs has ended (a pidfd), -1 when none runs: its end
  // is noticed at once, and the tunnel's resolvers put back then.
  int OpenVpnEnded() const { return openvpn_.process ? static_cast<int>(openvpn_.process->native()) : -1; }
  // While a stop runs: its reply once OpenVPN is gone (killed 5 s after SIGTERM), else
  // nullopt. A profile can make OpenVPN take seconds to end (explicit-exit-notify):
  // nobody else's command waits for that.
  std::optional<std::string> FinishStop();

 private:
  struct Running {
    pid_t pid = 0;
    unsigned long long start_time = 0;  // /proc start time: a reused pid is not ours
    uid_t owner = 0;
    bool child = false;  // ours to reap (false after a restart)
    std::shared_ptr<ProcessHandle> process;  // its pidfd
  };

  std::string SetRules(const FirewallState& next);
  std::string ReportDns(const DnsReport& report, const Peer& peer);
  void RevertTunnelDns();
  void SaveDns();
  std::filesystem::path DnsRecord() const { return options_.dns_state_dir / "dns.json"; }
  std::optional<std::string> BeginStop(const Peer& peer);
  bool Alive();
  void Signal(int signal) const;  // through its pidfd where there is one
  void Forget();
  void RemoveSession() const;
  void Save() const;
  std::filesystem::path StateFile() const { return options_.state_dir / "state"; }
  std::filesystem::path SessionFolder() const { return options_.state_dir / "openvpn"; }

  DaemonOptions options_;
  std::unique_ptr<Firewall> firewall_;
  FirewallState rules_;
  Running openvpn_;
  Value dns_;  // how the tunnel's resolvers were set, to undo it; null when they are not
  std::optional<std::chrono::steady_clock::time_point> stop_deadline_;
  uid_t stopped_for_ = 0;
  bool term_pending_ = false;  // the stop's SIGTERM came before OpenVPN's handler
  std::chrono::steady_clock::time_point next_term_;
};

// "Refused: ..." when `program` is not a root-owned OpenVPN in a trusted folder.
std::string CheckTrustedOpenVpn(const std::string& program, const std::vector<std::filesystem::path>& folders,
                                std::filesystem::path& resolved);

}  // namespace vlvpn::service
