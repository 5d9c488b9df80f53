#include <windows.h>

#include <vector>

#include "common/process_path.h"
#include "device/build_constants.h"
#include "device/version_win.h"

namespace vlvpn {
namespace {

constexpr const char* kFallbackVersion = "1.0.0";

}  // namespace

std::string ReadProductVersion(const std::filesystem::path& executable) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(executable.c_str(), &ignored);
  if (size == 0) return kFallbackVersion;
  std::vector<unsigned char> block(size);
  if (!GetFileVersionInfoW(executable.c_str(), 0, size, block.data())) return kFallbackVersion;
  void* data = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), L"\\", &data, &length) || data == nullptr ||
      length < sizeof(VS_FIXEDFILEINFO)) {
    return kFallbackVersion;
  }
  const auto* info = static_cast<const VS_FIXEDFILEINFO*>(data);
  return FormatProductVersion(info->dwProductVersionMS, info->dwProductVersionLS);
}

std::string VersionName() {
  const std::filesystem::path path = ExecutablePath();
  if (path.empty()) return kFallbackVersion;
  return ReadProductVersion(path);
}

}  // namespace vlvpn
