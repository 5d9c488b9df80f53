#include "tunnel/command_line.h"

#include "common/arguments.h"
#include "common/text.h"

namespace vlvpn {

std::string BuildOpenVpnArguments(const std::filesystem::path& config,
                                  const std::optional<std::filesystem::path>& credentials,
                                  const std::filesystem::path& log, bool windows_driver,
                                  std::uint16_t management_port) {
  std::string args = "--config " + QuoteArgument(PathToUtf8(config));
  if (credentials) args += " --auth-user-pass " + QuoteArgument(PathToUtf8(*credentials));
  args += " --log " + QuoteArgument(PathToUtf8(log));
  args += " --management " + std::string(kManagementHost) + " " + std::to_string(management_port);
  args += " --verb 3 --connect-retry 2 --connect-timeout 10 --connect-retry-max 5";
  args += " --ping 10 --ping-restart 60";
  if (windows_driver) args += " --windows-driver tap-windows6";
  return args;
}

}  // namespace vlvpn
