#pragma once

#include <filesystem>

namespace vlvpn {

// Full path of the running executable, however long; empty when it cannot be read.
std::filesystem::path ExecutablePath();

}  // namespace vlvpn
