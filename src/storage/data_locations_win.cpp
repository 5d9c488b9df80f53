#include <windows.h>

#include <shlobj.h>

#include <system_error>
#include <vector>

#include "common/text.h"
#include "storage/data_locations.h"

namespace vlvpn {
namespace {

std::filesystem::path ShellLocalAppData() {
  wchar_t buffer[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer))) {
    return {};
  }
  return std::filesystem::path(std::wstring(buffer));
}

std::filesystem::path EnvironmentPath(const wchar_t* name) {
  const DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
  if (needed == 0) return {};
  std::wstring value(needed, L'\0');
  const DWORD length = GetEnvironmentVariableW(name, value.data(), needed);
  if (length == 0 || length >= needed) return {};
  value.resize(length);
  return std::filesystem::path(value);
}

// MinGW ships no declaration of this call, and older systems lack it; look it up.
std::optional<std::string> PackageFamilyName() {
  using QueryFn = LONG(WINAPI*)(UINT32*, PWSTR);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return std::nullopt;
  const auto query = reinterpret_cast<QueryFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "GetCurrentPackageFamilyName")));
  if (query == nullptr) return std::nullopt;
  UINT32 length = 0;
  if (query(&length, nullptr) != ERROR_INSUFFICIENT_BUFFER || length == 0) return std::nullopt;
  std::vector<wchar_t> name(length, L'\0');
  if (query(&length, name.data()) != ERROR_SUCCESS) return std::nullopt;
  std::wstring family(name.data(), wcsnlen(name.data(), name.size()));
  return WideToUtf8(family);
}

}  // namespace

std::filesystem::path SystemDataRoot() {
  if (std::filesystem::path root = EnvironmentPath(L"VLVPN_DATA_ROOT"); root.is_absolute()) return root;
  const std::filesystem::path base = ChooseBaseFolder(ShellLocalAppData(), EnvironmentPath(L"LOCALAPPDATA"));
  return RedirectForPackage(base, PackageFamilyName(), [](const std::filesystem::path& folder) {
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
  });
}

}  // namespace vlvpn
