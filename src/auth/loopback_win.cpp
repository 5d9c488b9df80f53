#include <windows.h>

#include <shellapi.h>

#include "auth/loopback.h"
#include "common/text.h"

namespace vlvpn {

bool OpenInSystemBrowser(const std::string& url) {
  if (!IsWebAddress(url)) return false;
  const std::wstring wide = Utf8ToWide(url);
  const auto result = reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  return result > 32;
}

}  // namespace vlvpn
