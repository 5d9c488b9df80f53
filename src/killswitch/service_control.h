#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "common/process_handle.h"
#include "killswitch/pipe_client.h"

namespace vlvpn {

// Whether the kill-switch service is installed: the service control manager knows it
// (Windows); its socket exists (Linux).
bool IsServiceRegistered(const KillSwitchEndpoint& endpoint);

enum class ServiceStart { kStarted, kAlreadyRunning, kFailed };
// Asks the system to start the service (Linux: systemctl, best effort).
ServiceStart StartKillSwitchService(const KillSwitchEndpoint& endpoint);

struct ElevatedStart {
  bool started = false;
  std::shared_ptr<ProcessHandle> process;  // may be null even when started
  std::uint32_t error = 0;                 // the system's code when not started
  bool declined = false;                   // the user refused the elevation prompt
};

// Starts a program with administrator rights: the "runas" prompt on Windows; on
// Linux directly when already root, else through pkexec (`elevator`).
ElevatedStart StartElevated(const std::filesystem::path& program, const std::string& arguments);

}  // namespace vlvpn
