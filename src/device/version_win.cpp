#include <windows.h>

#include <vector>

#include "device/build_constants.h"
#include "device/version_win.h"

namespace vlvpn {
namespace {

constexpr const char* kFallbackVersion = "1.0.0";

// The running executable's full path, however long it is.
std::wstring ExecutablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

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
  const std::wstring path = ExecutablePath();
  if (path.empty()) return kFallbackVersion;
  return ReadProductVersion(path);
}

}  // namespace vlvpn
