#include <windows.h>

#include "app/bundle_host.h"
#include "common/file_io.h"
#include "common/text.h"

namespace vlvpn {

std::optional<std::filesystem::path> FindNode(const std::filesystem::path& executable_folder) {
  if (IsRegularFile(executable_folder / L"node.exe")) return executable_folder / L"node.exe";
  const DWORD needed = GetEnvironmentVariableW(L"PATH", nullptr, 0);
  std::wstring path(needed, L'\0');
  const DWORD length = needed == 0 ? 0 : GetEnvironmentVariableW(L"PATH", path.data(), needed);
  path.resize(length < needed ? length : 0);
  return FindInSearchPath(WideToUtf8(path), L"node.exe");
}

}  // namespace vlvpn
