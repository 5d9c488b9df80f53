#include <system_error>

#include "device/netlink_posix.h"
#include "device/tap_adapter.h"

namespace vlvpn {

bool TapAdapterPresent() {
  std::error_code ec;
  return std::filesystem::exists("/dev/net/tun", ec);
}

std::optional<ActiveAdapter> ActiveTapAdapter() {
  const std::vector<LinkState> links = ReadLinks();
  const LinkState* link = FirstRunningTunnelLink(links);
  if (link == nullptr) return std::nullopt;
  return ActiveAdapter{0, link->name};
}

// The tun driver is part of the kernel: there is nothing to install.
bool EnsureTapAdapter(const std::filesystem::path&) { return TapAdapterPresent(); }

}  // namespace vlvpn
