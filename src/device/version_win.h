#pragma once

#include <filesystem>
#include <string>

namespace vlvpn {

// The product version in an executable's version resource, "1.0.0" when it has none.
std::string ReadProductVersion(const std::filesystem::path& executable);

}  // namespace vlvpn
