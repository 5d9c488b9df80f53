#include "device/tap_adapter.h"

#include <algorithm>
#include <cwctype>
#include <system_error>
#include <vector>

#include "common/file_io.h"
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

std::optional<std::string> FirstUpTunnelInterface(const std::filesystem::path& sys_class_net) {
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(sys_class_net, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind("tun", 0) == 0 || name.rfind("tap", 0) == 0) names.push_back(name);
  }
  std::sort(names.begin(), names.end());  // the kernel lists in no fixed order
  for (const std::string& name : names) {
    const std::string flags = ReadFileBytes(sys_class_net / name / "flags").value_or("0x0");
    const auto value = std::strtoul(flags.c_str(), nullptr, 16);
    const std::string state = ReadFileBytes(sys_class_net / name / "operstate").value_or("");
    if ((value & 0x1u) != 0 && (state.rfind("up", 0) == 0 || state.rfind("unknown", 0) == 0)) return name;
  }
  return std::nullopt;
}

}  // namespace vlvpn
