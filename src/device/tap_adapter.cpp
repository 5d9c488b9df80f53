#include "device/tap_adapter.h"

#include <cwctype>
#include <system_error>

#include "common/text.h"

namespace vlvpn {

bool IsTapDescription(std::wstring_view description) {
  std::wstring lower(description);
  for (wchar_t& c : lower) c = static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(c)));
  return lower.find(L"tap-windows") != std::wstring::npos;
}

std::filesystem::path TapInstallerPath(const std::filesystem::path& openvpn) {
  const std::filesystem::path installer = openvpn.parent_path() / "tap-windows.exe";
  std::error_code ec;
  return std::filesystem::exists(installer, ec) ? installer : std::filesystem::path();
}

}  // namespace vlvpn
