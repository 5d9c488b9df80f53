#include "startup/launch_at_login.h"

namespace vlvpn {
namespace {

bool CountsAsOn(std::optional<int> state) { return state && (*state == 2 || *state == 4); }

// A value inside double quotes of a desktop entry's Exec key: the quoting rule escapes
// ", `, $ and \ with a backslash, the string rule then doubles every backslash, and
// % is a field code unless doubled.
std::string QuotedExecArgument(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '`' || c == '$') {
      quoted += "\\\\";
      quoted += c;
    } else if (c == '\\') {
      quoted += "\\\\\\\\";
    } else if (c == '%') {
      quoted += "%%";
    } else if (c == '\n' || c == '\r') {
      quoted += ' ';  // an entry is one line per key
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

}  // namespace

bool CommandLineAsksForStartup(std::string_view command_line) {
  return command_line.find(kStartupSwitch) != std::string_view::npos;
}

std::string RunValueData(std::string_view executable) {
  return "\"" + std::string(executable) + "\" " + std::string(kStartupSwitch);
}

std::string AutostartEntry(std::string_view executable) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Velunor VPN\n"
         "Comment=Start Velunor VPN in the background at login\n"
         "Exec=" +
         QuotedExecArgument(executable) + " " + std::string(kStartupSwitch) +
         "\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

bool SetLaunchAtLogin(bool enabled, StartupTask* task, LoginEntry& entry) {
  if (task != nullptr) {
    if (enabled) {
      if (const auto state = task->RequestEnable()) return CountsAsOn(state);
    } else if (task->Disable()) {
      return true;
    }
  }
  entry.Write(enabled);
  const bool present = entry.Present();
  return enabled ? present : !present;
}

bool GetLaunchAtLogin(StartupTask* task, LoginEntry& entry) {
  if (task != nullptr) {
    if (const auto state = task->State()) return CountsAsOn(state);
  }
  return entry.Present();
}

}  // namespace vlvpn
