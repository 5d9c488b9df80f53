#include "device/build_constants.h"

namespace vlvpn {

// No version resources here: the version is the one the build was made with.
std::string VersionName() { return VLVPN_VERSION_NAME; }

}  // namespace vlvpn
