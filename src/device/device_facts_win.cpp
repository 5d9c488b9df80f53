#include <windows.h>

#include <array>

#include "common/text.h"
#include "device/device_facts.h"
#include "device/registry_win.h"

namespace vlvpn {

std::wstring ReadRegistryString(HKEY root, const wchar_t* key, const wchar_t* value) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(root, key, 0, KEY_READ | KEY_WOW64_64KEY, &handle) != ERROR_SUCCESS) return {};
  std::array<wchar_t, 512> buffer = {};
  DWORD type = 0;
  DWORD bytes = sizeof(buffer);
  const LSTATUS status =
      RegQueryValueExW(handle, value, nullptr, &type, reinterpret_cast<LPBYTE>(buffer.data()), &bytes);
  RegCloseKey(handle);
  if (status != ERROR_SUCCESS || type != REG_SZ) return {};
  const std::size_t units = std::min<std::size_t>(bytes / sizeof(wchar_t), buffer.size());
  const std::wstring_view text(buffer.data(), units);
  return std::wstring(text.substr(0, text.find(L'\0')));
}

DeviceFacts ReadDeviceFacts(const std::filesystem::path&) {
  constexpr const wchar_t* kBios = L"HARDWARE\\DESCRIPTION\\System\\BIOS";
  constexpr const wchar_t* kCurrentVersion = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
  const auto read = [](const wchar_t* key, const wchar_t* value) {
    return WideToUtf8(ReadRegistryString(HKEY_LOCAL_MACHINE, key, value));
  };
  DeviceFacts facts;
  facts.product_name = read(kBios, L"SystemProductName");
  facts.manufacturer = read(kBios, L"SystemManufacturer");
  facts.display_version = read(kCurrentVersion, L"DisplayVersion");
  facts.major = read(kCurrentVersion, L"CurrentMajorVersionNumber");
  facts.minor = read(kCurrentVersion, L"CurrentMinorVersionNumber");
  facts.build = read(kCurrentVersion, L"CurrentBuildNumber");
  return facts;
}

}  // namespace vlvpn
