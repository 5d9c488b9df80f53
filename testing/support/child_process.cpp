#include "support/child_process.h"

#include <string>

#include "common/process_path.h"

namespace vlvpn::testing {

std::filesystem::path SiblingProgram(std::string_view name) {
#ifdef _WIN32
  return ExecutablePath().parent_path() / (std::string(name) + ".exe");
#else
  return ExecutablePath().parent_path() / std::string(name);
#endif
}

}  // namespace vlvpn::testing
