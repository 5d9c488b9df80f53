#include <cstdlib>

#include "common/process_path.h"
#include "tunnel/openvpn_lookup.h"

namespace vlvpn {

std::filesystem::path OpenVpnFileName() { return "openvpn"; }

OpenVpnLookupPlaces SystemOpenVpnPlaces() {
  const char* path = std::getenv("PATH");
  return {ExecutablePath().parent_path(),
          {"/usr/sbin/openvpn", "/usr/local/sbin/openvpn"},
          path != nullptr ? path : ""};
}

}  // namespace vlvpn
