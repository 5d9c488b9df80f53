#include <cstdlib>

#include "storage/data_locations.h"

namespace vlvpn {

std::filesystem::path SystemDataRoot() {
  if (const char* root = std::getenv("VLVPN_DATA_ROOT");
      root != nullptr && std::filesystem::path(root).is_absolute()) {
    return root;
  }
  const char* xdg = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  return XdgDataHome(xdg ? xdg : "", home ? home : "");
}

}  // namespace vlvpn
