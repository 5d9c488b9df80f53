#include <windows.h>

#include "common/text.h"
#include "startup/launch_at_login.h"

namespace vlvpn {
namespace {

constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunValue[] = L"VelunorVPN";

class RunValue : public LoginEntry {
 public:
  explicit RunValue(std::filesystem::path executable) : executable_(std::move(executable)) {}

  void Write(bool enabled) override {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    if (enabled) {
      const std::wstring data = Utf8ToWide(RunValueData(PathToUtf8(executable_)));
      RegSetValueExW(key, kRunValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                     static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    } else {
      RegDeleteValueW(key, kRunValue);
    }
    RegCloseKey(key);
  }

  bool Present() override {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    BYTE buffer[1040];
    DWORD size = sizeof(buffer);
    const bool present = RegQueryValueExW(key, kRunValue, nullptr, nullptr, buffer, &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return present;
  }

 private:
  std::filesystem::path executable_;
};

// Packaged: asking for the package's full name without a buffer reports an
// insufficient buffer. The call is looked up because older systems lack it.
bool IsPackaged() {
  using QueryFn = LONG(WINAPI*)(UINT32*, PWSTR);
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return false;
  const auto query =
      reinterpret_cast<QueryFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "GetCurrentPackageFullName")));
  UINT32 length = 0;
  return query != nullptr && query(&length, nullptr) == ERROR_INSUFFICIENT_BUFFER;
}

// The startup task lives in the Windows Runtime, which this build does not bind; every
// call reports the platform's failure, so the Run value is used instead.
class UnboundStartupTask : public StartupTask {
 public:
  std::optional<int> State() override { return std::nullopt; }
  std::optional<int> RequestEnable() override { return std::nullopt; }
  bool Disable() override { return false; }
};

}  // namespace

std::unique_ptr<LoginEntry> SystemLoginEntry(const std::filesystem::path& executable) {
  return std::make_unique<RunValue>(executable);
}

std::unique_ptr<StartupTask> PackagedStartupTask() {
  if (!IsPackaged()) return nullptr;
  return std::make_unique<UnboundStartupTask>();
}

}  // namespace vlvpn
