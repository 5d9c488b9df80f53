#pragma once

#include <cstdint>
#include <string>

#include "common/value.h"

namespace vlvpn {

// "major.minor.build" from a fixed file information's product version words.
std::string FormatProductVersion(std::uint32_t version_ms, std::uint32_t version_ls);

// The running program's version name: its version resource's product version on
// Windows, the version it was built as elsewhere.
std::string VersionName();

// The six constants of VLVPNBuildConfig, in their order, computed now.
Value BuildConstants();

}  // namespace vlvpn
