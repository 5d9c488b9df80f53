#include "tunnel/command_line.h"

#include "common/arguments.h"
#include "common/text.h"

namespace vlvpn {

std::string BuildOpenVpnArguments(const std::filesystem::path& config,
                                  const std::optional<std::filesystem::path>& credentials,
                                  const std::filesystem::path& log, bool windows_driver,
                                  std::uint16_t management_port,
                                  const std::filesystem::path& management_password, bool profile_sets_ping) {
  std::string args = "--config " + QuoteArgument(PathToUtf8(config));
  if (credentials) args += " --auth-user-pass " + QuoteArgument(PathToUtf8(*credentials));
  args += " --log " + QuoteArgument(PathToUtf8(log));
  args += " --management " + std::string(kManagementHost) + " " + std::to_string(management_port);
  if (!management_password.empty()) args += " " + QuoteArgument(PathToUtf8(management_password));
  args += " --verb 3 --connect-retry 2 --connect-timeout 10 --connect-retry-max 5";
  if (!profile_sets_ping) args += " --ping 10 --ping-restart 60";
  if (windows_driver) args += " --windows-driver tap-windows6";
  return args;
}

bool ProfileSetsPing(std::string_view profile) {
  while (!profile.empty()) {
    const std::size_t end = profile.find('\n');
    std::string_view line = profile.substr(0, end);
    profile = end == std::string_view::npos ? std::string_view() : profile.substr(end + 1);
    const std::size_t start = line.find_first_not_of(" \t\r\v\f");
    if (start == std::string_view::npos) continue;
    line.remove_prefix(start);
    if (line.starts_with("--")) line.remove_prefix(2);
    const std::string_view name = line.substr(0, line.find_first_of(" \t\r\v\f"));
    if (name == "keepalive" || name == "ping" || name == "ping-restart") return true;
  }
  return false;
}

}  // namespace vlvpn
