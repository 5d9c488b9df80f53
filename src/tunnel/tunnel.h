#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/cancel.h"
#include "common/joined_threads.h"
#include "common/process_handle.h"
#include "common/tcp_socket.h"
#include "device/traffic.h"
#include "killswitch/kill_switch.h"
#include "killswitch/launch.h"
#include "killswitch/protocol.h"
#include "storage/data_locations.h"
#include "tunnel/command_line.h"
#include "tunnel/management.h"
#include "tunnel/phase.h"

namespace vlvpn {

inline constexpr std::string_view kOpenVpnNotFound =
    "OpenVPN not found. Install OpenVPN Community from https://openvpn.net/community-downloads/";
inline constexpr std::string_view kNoTapAdapter =
    "No TAP-Windows network adapter is installed, and it could not be set up automatically. Install the "
    "TAP-Windows driver and retry.";
inline constexpr std::string_view kExitedEarly =
    "OpenVPN exited before connecting. Check the config file or credentials.";
inline constexpr std::string_view kNoManagement =
    "Could not connect to OpenVPN management interface. The VPN may have failed to start.";
inline constexpr std::string_view kLaunchFailed = "Failed to launch OpenVPN";
inline constexpr std::string_view kConnectionClosed = "Connection closed";
inline constexpr std::string_view kServerNotResolved =
    "The kill switch is on and the VPN server's address could not be found, so the connection was not "
    "started. Check your network connection and the server's name, or turn the kill switch off.";

// What the tunnel does to the world; SystemTunnelEnvironment gives the real one.
struct TunnelEnvironment {
  std::function<std::filesystem::path()> locate_openvpn;
  std::function<bool(const std::filesystem::path&)> ensure_tap;
  // `cancelled` says when the attempt is no longer wanted.
  std::function<LaunchOutcome(const std::filesystem::path&, const std::string&, std::function<bool()> cancelled)>
      launch;
  std::function<std::string(std::string_view)> transact;
  std::function<std::vector<std::string>(const std::string&)> resolve;
  // The OpenVPN that may be adopted on the port; 0 for none (FindAdoptableOpenVpn).
  std::function<std::uint32_t(std::uint16_t port)> find_openvpn_process;
  // Whether anything listens on the port (none: just try to connect).
  std::function<bool(std::uint16_t port)> port_listened;
  std::function<std::shared_ptr<ProcessHandle>(std::uint32_t pid)> open_process;
  std::function<TrafficSampler::Rates()> sample_traffic;
  std::function<void()> reset_traffic;
  std::function<bool()> adapter_up;
  std::string program;  // this executable, for ENABLE
  bool open_firewall_to_resolve = kOpenFirewallToResolve;
  std::uint16_t management_port = kManagementPort;
  bool windows_driver = kPassWindowsDriver;
  // How long a launched OpenVPN may take to open its management port, and how often it
  // is tried meanwhile (the first try at once: the switch waits on it).
  std::chrono::milliseconds management_wait{15000};
  std::chrono::milliseconds management_retry{5};
  // Between the tries to resolve the server while the firewall is open for it.
  std::chrono::milliseconds resolve_retry{800};
  // All of an adoption (greeting and state): the first getStatus waits for it, so a
  // silent or slow program on the port must not hold up the interface.
  std::chrono::milliseconds adoption_budget{500};
};

TunnelEnvironment SystemTunnelEnvironment(std::shared_ptr<const KillSwitchClient> client);

struct ConnectRequest {
  std::string profile_id, username, password, config_name;
};

struct ConnectResult {
  enum class Outcome { kConnecting, kSuperseded, kFailed };
  Outcome outcome = Outcome::kFailed;
  std::string message;  // why it failed
};

// What getStatus reports.
struct TunnelStatus {
  std::string state;
  std::string message;
  std::string profile_id;
  std::uint32_t pid = 0;
  std::int64_t down_bps = 0;
  std::int64_t up_bps = 0;
  bool adapter_up = false;
};

// The tunnel as the controller last published it.
struct TunnelSnapshot {
  Phase phase = Phase::kIdle;
  std::string message;
  std::string profile_id;
  std::filesystem::path log_path;
  std::shared_ptr<ProcessHandle> process;
  bool wanted = false;       // launched or adopted, and no user disconnect since
  bool via_service = false;  // the kill-switch service started this OpenVPN
  bool following = false;    // a management connection to OpenVPN is held
  std::string_view state() const { return StateWord(phase); }
};

// The tunnel: one controller thread owns the record, the followed management
// connection and the kill-switch facts, and runs commands (connect, disconnect,
// switches, adoption) and what the management connection says in the order they arrive. A connect or a disconnect cancels the attempt in
// flight, so the user's last word wins. Callbacks run on the controller thread.
class Tunnel {
 public:
  static std::unique_ptr<Tunnel> Create(const DataLocations& locations, TunnelEnvironment environment) {
    return std::make_unique<Tunnel>(locations, std::move(environment));
  }
  Tunnel(const DataLocations& locations, TunnelEnvironment environment);
  Tunnel(const Tunnel&) = delete;
  Tunnel& operator=(const Tunnel&) = delete;
  // Runs what is queued (attempts in flight give way), stops following OpenVPN and
  // leaves it running: a later run adopts it.
  ~Tunnel();

  void Connect(ConnectRequest request, std::function<void(ConnectResult)> done);
  void Disconnect(std::function<void()> done);
  void SetKillSwitchEnabled(bool on, std::function<void()> done);
  // `prepared` false, at once and without a command, when the kill switch is off.
  void PrepareKillSwitchForReconnect(std::function<void(bool prepared)> done);
  void SetBlockIpv6Enabled(bool on, std::function<void()> done);

  // Never waits for the controller's work, except once: the first call may adopt an
  // OpenVPN that runs.
  TunnelStatus Status();
  TrafficSampler::Rates TrafficStats();
  std::shared_ptr<const TunnelSnapshot> Snapshot() const;

 private:
  struct Record : TunnelSnapshot {
    std::shared_ptr<ManagementConnection> management;  // the followed connection, if any
    StateReader reader;                                // what it has said so far
    KillSwitchFacts server;
    std::string management_password;  // of the OpenVPN followed or being started
    std::uint64_t log_read = 0;       // where the log's last failed try was read up to
  };

  void Post(std::function<void()> job, bool supersedes, std::shared_ptr<CancelToken> attempt = nullptr);
  void WakeLocked();
  void Loop();

  // Controller thread only, from here on.
  ConnectResult RunConnect(const ConnectRequest& request, const std::shared_ptr<CancelToken>& token);
  bool StopForNewConnect(const CancelToken& token, const std::string& password);
  std::string KnownManagementPassword() const;
  std::shared_ptr<ManagementConnection> OpenManagement(const std::string& password) const;
  void WaitForPortToClose(int probes, const CancelToken& token) const;
  // The server facts for the kill switch, and the kill switch closed on them when it is
  // on; a message when the connect cannot go on without opening it.
  std::optional<std::string> PrepareKillSwitch(std::string_view profile, const std::shared_ptr<CancelToken>& token);
  void RememberSwitches();
  void AfterFailedConnect();
  std::vector<std::string> Resolve(const std::string& host, const std::shared_ptr<CancelToken>& token);
  void StoreResolved(const std::vector<std::string>& addresses);
  ConnectResult FollowLaunched(const CancelToken& token);
  ConnectResult FailStart(std::string_view fallback);
  ConnectResult GiveUp(std::shared_ptr<ManagementConnection> connection);
  void RunDisconnect();
  void RunAdoption();
  void Follow(std::shared_ptr<ManagementConnection> connection);
  void StopFollowing();
  void ReadFollowed();
  void OnReported(const std::string& word);
  void OnRestarted();
  void OnConnectionEnded();
  bool Enter(TunnelEvent event);
  bool Running() const { return StateWord(record_.phase) != kStateDisconnected; }
  void Publish();

  DataLocations locations_;
  TunnelEnvironment environment_;
  KillSwitchService service_;
  KillSwitchFiles files_;

  Record record_;
  bool kill_switch_ = false;
  bool block_ipv6_ = true;
  bool kill_switch_at_connected_ = false;  // turned on while the tunnel was on its way
  bool switches_set_ = false;              // by this run: adoption keeps them
  std::uint64_t facts_epoch_ = 0;  // a background resolution stores only while it is current

  std::mutex queue_lock_;
  std::deque<std::function<void()>> queue_;
  std::vector<std::shared_ptr<CancelToken>> open_attempts_;
  bool stopping_ = false;
  // The controller waits on the followed connection and on this pair at once: a post
  // writes one byte while it waits.
  std::pair<TcpSocket, TcpSocket> wake_;
  bool waiting_ = false;
  bool wake_sent_ = false;

  std::atomic<int> connects_pending_{0};
  std::atomic<bool> kill_switch_requested_{false};
  std::atomic<bool> adoption_tried_{false};
  mutable std::mutex snapshot_lock_;  // only around the pointer's copy and swap
  std::shared_ptr<const TunnelSnapshot> snapshot_;

  JoinedThreads helpers_;  // resolutions; they report through the queue
  std::thread thread_;
};

}  // namespace vlvpn
