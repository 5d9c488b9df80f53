#include <cstdlib>

#include "storage/data_locations.h"

namespace vlvpn {

std::filesystem::path SystemDataRoot() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  return XdgDataHome(xdg ? xdg : "", home ? home : "");
}

}  // namespace vlvpn
