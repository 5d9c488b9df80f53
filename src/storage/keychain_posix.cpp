#include <sys/stat.h>

#include <cerrno>
#include <system_error>

#include "common/file_io.h"
#include "storage/keychain.h"

namespace fs = std::filesystem;

namespace vlvpn {
namespace {

// One file per target, named by the hex of the target's bytes, so any target is a
// plain file name.
fs::path ItemPath(const fs::path& folder, std::string_view target) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name;
  name.reserve(target.size() * 2);
  for (const char c : target) {
    const auto byte = static_cast<unsigned char>(c);
    name += kHex[byte >> 4];
    name += kHex[byte & 0x0F];
  }
  return folder / name;
}

}  // namespace

unsigned long Keychain::Write(std::string_view target, std::string_view value) const {
  try {
    const fs::path folder = locations_.KeychainFolder();
    CreatePrivateFolder(folder);
    WriteFileAtomically(ItemPath(folder, target), value);
    return 0;
  } catch (const FileWriteError& e) {
    return e.error();
  } catch (const std::system_error& e) {
    return static_cast<unsigned long>(e.code().value());
  }
}

std::optional<std::string> Keychain::Read(std::string_view target) const {
  try {
    return ReadFileBytes(ItemPath(locations_.KeychainFolder(), target));
  } catch (...) {
    return std::nullopt;
  }
}

void Keychain::Delete(std::string_view target) const {
  try {
    std::error_code ignored;
    fs::remove(ItemPath(locations_.KeychainFolder(), target), ignored);
  } catch (...) {
    // Deleting is best effort.
  }
}

}  // namespace vlvpn
