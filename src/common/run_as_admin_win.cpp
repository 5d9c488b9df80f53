#include "common/run_as_admin_win.h"

#include <objbase.h>
#include <shellapi.h>

#include <thread>

namespace vlvpn {

RunAsAdminResult RunAsAdmin(const std::filesystem::path& program, const std::wstring& parameters) {
  RunAsAdminResult result;
  std::thread worker([&] {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = L"runas";
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_HIDE;
    if (ShellExecuteExW(&info)) {
      result.started = true;
      result.process = info.hProcess;
    } else {
      result.error = GetLastError();
    }
    if (SUCCEEDED(com)) CoUninitialize();
  });
  worker.join();
  return result;
}

}  // namespace vlvpn
