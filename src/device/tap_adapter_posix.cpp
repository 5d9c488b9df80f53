#include <system_error>

#include "device/tap_adapter.h"

namespace vlvpn {

bool TapAdapterPresent() {
  std::error_code ec;
  return std::filesystem::exists("/dev/net/tun", ec);
}

std::optional<ActiveAdapter> ActiveTapAdapter() {
  const auto name = FirstUpTunnelInterface("/sys/class/net");
  if (!name) return std::nullopt;
  return ActiveAdapter{0, *name};
}

// The tun driver is part of the kernel: there is nothing to install.
bool EnsureTapAdapter(const std::filesystem::path&) { return TapAdapterPresent(); }

}  // namespace vlvpn
