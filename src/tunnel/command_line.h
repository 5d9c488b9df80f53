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

// OpenVPN's argument string for a profile. `credentials` is passed only when given, the
// management password file likewise; --ping/--ping-restart are left to a profile that
// sets its own (OpenVPN refuses them beside its keepalive).
std::string BuildOpenVpnArguments(const std::filesystem::path& config,
                                  const std::optional<std::filesystem::path>& credentials,
                                  const std::filesystem::path& log, bool windows_driver = kPassWindowsDriver,
                                  std::uint16_t management_port = kManagementPort,
                                  const std::filesystem::path& management_password = {},
                                  bool profile_sets_ping = false);

// Whether the profile has keepalive, ping or ping-restart of its own.
bool ProfileSetsPing(std::string_view profile);

}  // namespace vlvpn
