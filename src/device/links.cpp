#include "device/links.h"

namespace vlvpn {

const LinkState* FirstRunningTunnelLink(const std::vector<LinkState>& links) {
  const LinkState* first = nullptr;
  for (const LinkState& link : links) {
    const bool tunnel = link.name.rfind("tun", 0) == 0 || link.name.rfind("tap", 0) == 0;
    // The system lists interfaces in no fixed order.
    if (tunnel && link.running && (first == nullptr || link.name < first->name)) first = &link;
  }
  return first;
}

}  // namespace vlvpn
