#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/process_handle.h"
#include "killswitch/pipe_client.h"
#include "killswitch/protocol.h"
#include "killswitch/service_control.h"

namespace vlvpn {

inline constexpr std::string_view kServiceNotResponding =
    "Kill-switch service is not responding. Start \"VelunorVPN Kill Switch\" in Services (or reinstall the "
    "app) "
    "and retry.";
inline constexpr std::string_view kElevationDeclined =
    "Administrator access denied. Approve the UAC prompt to connect.";

struct LaunchOutcome {
  bool ok = false;
  std::shared_ptr<ProcessHandle> process;
  bool via_service = false;
  std::string error;  // empty on success; the caller says "Failed to launch OpenVPN" for an empty failure
  bool cancelled = false;  // given up because the attempt was no longer wanted; nothing started
};

// What the launch does to the world; the real ones come from SystemLaunchActions.
struct LaunchActions {
  std::function<bool()> service_registered;
  std::function<std::string(std::string_view command)> transact;
  std::function<ServiceStart()> start_service;
  std::function<void(std::chrono::milliseconds)> sleep;
  std::function<std::shared_ptr<ProcessHandle>(std::uint32_t pid)> open_process;
  std::function<ElevatedStart(const std::filesystem::path& program, const std::string& arguments)>
      start_elevated;
  // Asked between the service's round trips; true ends the launch (empty: never).
  std::function<bool()> cancelled;
};

LaunchActions SystemLaunchActions(const KillSwitchClient& client);

// Starts OpenVPN through the kill-switch service, or with elevation when no service is
// registered. Never throws; every outcome is in the result.
LaunchOutcome LaunchOpenVpn(const std::filesystem::path& program, const std::string& arguments,
                            const LaunchActions& actions);

}  // namespace vlvpn
