#include "device/netlink_posix.h"
#include "device/traffic.h"

namespace vlvpn {

std::optional<AdapterReading> ReadTunnelAdapter(const std::optional<ActiveAdapter>& known) {
  if (known) {
    if (const std::optional<LinkState> link = ReadLink(known->name); link && link->running) {
      return AdapterReading{*known, link->counters};
    }
  }
  const std::vector<LinkState> links = ReadLinks();
  const LinkState* link = FirstRunningTunnelLink(links);
  if (link == nullptr) return std::nullopt;
  return AdapterReading{ActiveAdapter{0, link->name}, link->counters};
}

}  // namespace vlvpn
