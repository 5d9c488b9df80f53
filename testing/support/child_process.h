#pragma once

#include <filesystem>
#include <string_view>

#include "common/child_process.h"

namespace vlvpn::testing {

// A program built beside the running test program ("VLVPNDesk" gives VLVPNDesk.exe on Windows).
std::filesystem::path SiblingProgram(std::string_view name);

// Tests drive our executables as their real callers do, through the product's own.
using ::vlvpn::ChildProcess;

}  // namespace vlvpn::testing
