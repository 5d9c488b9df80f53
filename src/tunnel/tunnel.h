#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "common/process_handle.h"
#include "common/value.h"
#include "device/traffic.h"
#include "killswitch/kill_switch.h"
#include "killswitch/launch.h"
#include "modules/promise.h"
#include "storage/data_locations.h"
#include "tunnel/command_line.h"
#include "tunnel/management.h"
#include "tunnel/tunnel_state.h"

namespace vlvpn {

inline constexpr std::string_view kOpenVpnNotFound =
    "OpenVPN not found. Install OpenVPN Community from https://openvpn.net/community-downloads/";
inline constexpr std::string_view kNoTapAdapter =
    "No TAP-Windows network adapter is installed, and it could not be set up automatically. Install the "
    "TAP-Windows "
    "driver and retry.";
inline constexpr std::string_view kExitedEarly =
    "OpenVPN exited before connecting. Check the config file or credentials.";
inline constexpr std::string_view kNoManagement =
    "Could not connect to OpenVPN management interface. The VPN may have failed to start.";

// What the tunnel does to the world; SystemTunnelEnvironment gives the real one.
struct TunnelEnvironment {
  std::function<std::filesystem::path()> locate_openvpn;
  std::function<bool(const std::filesystem::path&)> ensure_tap;
  std::function<LaunchOutcome(const std::filesystem::path&, const std::string&)> launch;
  std::function<std::string(std::string_view)> transact;
  std::function<std::vector<std::string>(const std::string&)> resolve;
  std::function<std::uint32_t(std::uint16_t port)> find_openvpn_process;
  std::function<std::shared_ptr<ProcessHandle>(std::uint32_t pid)> open_process;
  std::function<TrafficSampler::Rates()> sample_traffic;
  std::function<void()> reset_traffic;
  std::function<bool()> adapter_up;
  std::string program;  // this executable, for ENABLE
  std::uint16_t management_port = kManagementPort;
  bool windows_driver = kPassWindowsDriver;
  int management_passes = 150;
  std::chrono::milliseconds management_pass{100};
};

TunnelEnvironment SystemTunnelEnvironment(std::shared_ptr<const KillSwitchClient> client);

// The tunnel: connect, disconnect, status and adoption over one record, one monitor
// and the kill switch. Workers keep the object alive while they run.
class Tunnel : public std::enable_shared_from_this<Tunnel> {
 public:
  static std::shared_ptr<Tunnel> Create(const DataLocations& locations, TunnelEnvironment environment);
  ~Tunnel();

  // Starts a connect attempt; a worker settles the promise.
  void Connect(std::string profile_id, std::string username, std::string password, std::string config_name,
               Promise promise);
  // Stops the tunnel; a worker settles the promise with {"state":"disconnected"}.
  void Disconnect(Promise promise);
  // The tunnel's state for the interface; the first call may adopt a running OpenVPN.
  Value Status();
  // {"downBps", "upBps"}.
  Value TrafficStats();

  KillSwitchControl& kill_switch() { return kill_switch_; }
  TunnelState& state() { return state_; }
  const TunnelEnvironment& environment() const { return environment_; }

 private:
  Tunnel(const DataLocations& locations, TunnelEnvironment environment);

  struct Attempt {
    std::uint64_t generation;
    std::string profile_id, username, password, config_name;
    Promise promise;
  };
  void RunConnect(Attempt& attempt);
  void Fail(const Attempt& attempt, std::string_view fallback);
  void StopEarlierOpenVpn();
  std::shared_ptr<ManagementConnection> WaitForManagementOf(const std::shared_ptr<ProcessHandle>& process);
  void Adopt();
  bool Current(std::uint64_t generation) const { return state_.connect_generation.load() == generation; }

  DataLocations locations_;
  TunnelEnvironment environment_;
  TunnelState state_;
  KillSwitchControl kill_switch_;
  TunnelMonitor monitor_;
  std::mutex connect_lock_;  // the critical steps of connects and disconnects, one at a time
  std::atomic<bool> adoption_tried_{false};
};

}  // namespace vlvpn
