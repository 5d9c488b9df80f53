#pragma once

#include <filesystem>
#include <string>

#include "killswitch/service_control.h"

namespace vlvpn {

// Starts `program` through `elevator` (pkexec, or a stand-in in tests), which asks the
// user and then replaces itself with the program; an empty `elevator` starts it
// directly. Exit 126 or 127 of the elevator before that means the user declined.
ElevatedStart StartElevatedVia(const std::string& elevator, const std::filesystem::path& program,
                               const std::string& arguments);

}  // namespace vlvpn
