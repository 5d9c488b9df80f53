#include <windows.h>

#include "common/process_path.h"
#include "common/text.h"
#include "tunnel/openvpn_lookup.h"

namespace vlvpn {

std::filesystem::path OpenVpnFileName() { return L"openvpn.exe"; }

OpenVpnLookupPlaces SystemOpenVpnPlaces() {
  std::wstring path;
  if (const DWORD needed = GetEnvironmentVariableW(L"PATH", nullptr, 0); needed > 0) {
    path.resize(needed);
    path.resize(GetEnvironmentVariableW(L"PATH", path.data(), needed));
  }
  return {ExecutablePath().parent_path(),
          {L"C:\\Program Files\\OpenVPN\\bin\\openvpn.exe",
           L"C:\\Program Files (x86)\\OpenVPN\\bin\\openvpn.exe"},
          WideToUtf8(path)};
}

}  // namespace vlvpn
