#include "support/installed_service.h"

#include "common/text.h"

namespace vlvpn::testing {

InstalledService::InstalledService(const std::string& name, const std::string& command_line)
    : manager_(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {
  if (!manager_.valid()) {
    error_ = GetLastError();
    return;
  }
  // Display names must be unique too, while an earlier test's service is still going.
  const std::wstring display = L"VelunorVPN Kill Switch (" + Utf8ToWide(name) + L")";
  service_ = UniqueServiceHandle(
      CreateServiceW(manager_.get(), Utf8ToWide(name).c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                     Utf8ToWide(command_line).c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service_.valid()) error_ = GetLastError();
}

InstalledService::~InstalledService() {
  if (!service_.valid()) return;
  SERVICE_STATUS status{};
  ControlService(service_.get(), SERVICE_CONTROL_STOP, &status);
  DeleteService(service_.get());
}

bool InstalledService::Start() {
  if (!service_.valid()) return false;
  if (StartServiceW(service_.get(), 0, nullptr)) return true;
  error_ = GetLastError();
  return false;
}

}  // namespace vlvpn::testing
