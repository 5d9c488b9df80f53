#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vlvpn {

inline constexpr std::string_view kManagementHost = "127.0.0.1";
inline constexpr std::uint16_t kManagementPort = 11940;

// OpenVPN on Windows needs its TAP driver named; OpenVPN elsewhere rejects the option.
#ifdef _WIN32
inline constexpr bool kPassWindowsDriver = true;
#else
inline constexpr bool kPassWindowsDriver = false;
#endif

// One argument in double quotes, read back whole by the Windows command-line rules
// (and by SplitArguments): a plain path comes out as "<path>"; quotes inside and
// backslashes before a quote or the closing quote are escaped, so no text can end
// the argument early or swallow the next one.
std::string QuoteArgument(std::string_view argument);

// Splits an argument string by the Windows command-line rules; what the kill-switch
// service and OpenVPN do with the string we send.
std::vector<std::string> SplitArguments(std::string_view command_line);

// OpenVPN's argument string for a profile. `credentials` is passed only when given.
std::string BuildOpenVpnArguments(const std::filesystem::path& config,
                                  const std::optional<std::filesystem::path>& credentials,
                                  const std::filesystem::path& log, bool windows_driver = kPassWindowsDriver,
                                  std::uint16_t management_port = kManagementPort);

}  // namespace vlvpn
