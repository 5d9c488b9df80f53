#include <windows.h>

#include "common/text.h"
#include "support/installed_service.h"

namespace vlvpn::testing {

InstalledService::InstalledService(const std::string& name, const std::string& command_line) {
  manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager_ == nullptr) {
    error_ = GetLastError();
    return;
  }
  // Display names must be unique too, while an earlier test's service is still going.
  const std::wstring display = L"VelunorVPN Kill Switch (" + Utf8ToWide(name) + L")";
  service_ = CreateServiceW(static_cast<SC_HANDLE>(manager_), Utf8ToWide(name).c_str(), display.c_str(),
                            SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                            SERVICE_ERROR_NORMAL, Utf8ToWide(command_line).c_str(), nullptr, nullptr, nullptr,
                            nullptr, nullptr);
  if (service_ == nullptr) error_ = GetLastError();
}

InstalledService::~InstalledService() {
  if (service_ != nullptr) {
    const auto service = static_cast<SC_HANDLE>(service_);
    SERVICE_STATUS status{};
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    DeleteService(service);
    CloseServiceHandle(service);
  }
  if (manager_ != nullptr) CloseServiceHandle(static_cast<SC_HANDLE>(manager_));
}

bool InstalledService::Start() {
  if (service_ == nullptr) return false;
  if (StartServiceW(static_cast<SC_HANDLE>(service_), 0, nullptr)) return true;
  error_ = GetLastError();
  return false;
}

}  // namespace vlvpn::testing
