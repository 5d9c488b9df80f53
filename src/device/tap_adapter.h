#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vlvpn {

// True when an adapter description names the TAP-Windows driver (any letter case).
bool IsTapDescription(std::wstring_view description);

// The tunnel's network adapter while it is up: its interface LUID on Windows, its
// interface name elsewhere (for the traffic counters).
struct ActiveAdapter {
  std::uint64_t luid = 0;
  std::string name;
};

// Windows: a TAP-Windows adapter exists, whatever its state. Linux: /dev/net/tun exists.
bool TapAdapterPresent();
// The first TAP-Windows adapter that is up (Linux: the first up tun*/tap* interface).
std::optional<ActiveAdapter> ActiveTapAdapter();
// "tap-windows.exe" beside openvpn.exe when it exists, else empty.
std::filesystem::path TapInstallerPath(const std::filesystem::path& openvpn);
// Installs the driver (elevated, silent) when no adapter exists and the installer is
// there, then waits for the adapter. Linux needs no installer: this is TapAdapterPresent.
bool EnsureTapAdapter(const std::filesystem::path& openvpn);

}  // namespace vlvpn
