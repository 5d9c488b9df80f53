#pragma once

#include <cstdint>
#include <string>

namespace vlvpn {

// The system's own sentence for a Windows error number, without its trailing line break.
std::string WindowsErrorText(std::uint32_t error);

}  // namespace vlvpn
