#include "storage/user_defaults.h"

#include "common/file_io.h"

namespace vlvpn {

void UserDefaults::Write(std::string_view key, std::string_view value) const {
  WriteFileAtomically(locations_.PrefFilePath(key), value);
}

std::string UserDefaults::Read(std::string_view key) const {
  return ReadFileBytes(locations_.PrefFilePath(key)).value_or(std::string());
}

}  // namespace vlvpn
