#include <cstdlib>

#include "app/bundle_host.h"
#include "common/file_io.h"

namespace vlvpn {

std::optional<std::filesystem::path> FindNode(const std::filesystem::path& executable_folder) {
  if (IsRegularFile(executable_folder / "node")) return executable_folder / "node";
  const char* path = std::getenv("PATH");
  return FindInSearchPath(path != nullptr ? path : "", "node");
}

}  // namespace vlvpn
