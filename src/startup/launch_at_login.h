#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vlvpn {

// A start at login is asked for by this switch anywhere in the command line
// (case-sensitive).
inline constexpr std::string_view kStartupSwitch = "--startup";
bool CommandLineAsksForStartup(std::string_view command_line);

// The Run value's data: the executable's path in double quotes, so a path with
// blanks is never open to the unquoted-path search, then " --startup".
std::string RunValueData(std::string_view executable);

// The XDG autostart entry that starts the executable hidden at login.
std::string AutostartEntry(std::string_view executable);

// Where a plain executable records launch at login (the per-user Run value, or the
// autostart entry).
class LoginEntry {
 public:
  virtual ~LoginEntry() = default;
  // Best effort: a failure leaves the setting as it was, and Present() tells the truth.
  virtual void Write(bool enabled) = 0;
  virtual bool Present() = 0;
};

// The packaged application's startup task. Every call answers nullopt (or false) when
// the platform fails.
class StartupTask {
 public:
  virtual ~StartupTask() = default;
  // The task's state: 2 is enabled, 4 enabled by policy; other values are off.
  virtual std::optional<int> State() = 0;
  // Asks for the task to be enabled; the state that results.
  virtual std::optional<int> RequestEnable() = 0;
  virtual bool Disable() = 0;
};

// `task` is null when the process is not packaged; a task that fails falls back to
// the login entry.
bool SetLaunchAtLogin(bool enabled, StartupTask* task, LoginEntry& entry);
bool GetLaunchAtLogin(StartupTask* task, LoginEntry& entry);

// The platform's own: the per-user Run value "VelunorVPN" on Windows; on Linux
// "VelunorVPN.desktop" in `$XDG_CONFIG_HOME/autostart` (else `~/.config/autostart`).
std::unique_ptr<LoginEntry> SystemLoginEntry(const std::filesystem::path& executable);
// The startup task when the process runs from a package; null otherwise.
std::unique_ptr<StartupTask> PackagedStartupTask();

}  // namespace vlvpn
