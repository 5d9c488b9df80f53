#include <windows.h>

#include "common/arguments.h"
#include "common/run_as_admin_win.h"
#include "common/text.h"
#include "common/unique_handle_win.h"
#include "killswitch/service_control.h"

namespace vlvpn {
bool IsServiceRegistered(const KillSwitchEndpoint& endpoint) {
  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (manager.get() == nullptr) return false;
  const UniqueServiceHandle service(
      OpenServiceW(manager.get(), Utf8ToWide(endpoint.service).c_str(), SERVICE_QUERY_STATUS));
  return service.get() != nullptr;
}

ServiceStart StartKillSwitchService(const KillSwitchEndpoint& endpoint) {
  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (manager.get() == nullptr) return ServiceStart::kFailed;
  const UniqueServiceHandle service(OpenServiceW(manager.get(), Utf8ToWide(endpoint.service).c_str(),
                                                 SERVICE_QUERY_STATUS | SERVICE_START));
  if (service.get() == nullptr) return ServiceStart::kFailed;
  if (StartServiceW(service.get(), 0, nullptr)) return ServiceStart::kStarted;
  return GetLastError() == ERROR_SERVICE_ALREADY_RUNNING ? ServiceStart::kAlreadyRunning
                                                         : ServiceStart::kFailed;
}

ElevatedStart StartElevated(const std::filesystem::path& program, const std::string& arguments) {
  // Nobody holds an elevated OpenVPN's output: its log opens before the profile is read.
  const RunAsAdminResult run = RunAsAdmin(program, Utf8ToWide(WithLogFirst(arguments)));
  ElevatedStart result;
  result.started = run.started;
  result.error = run.error;
  result.declined = run.error == ERROR_CANCELLED;
  if (run.process != nullptr) {
    result.process =
        ProcessHandle::Adopt(reinterpret_cast<std::intptr_t>(run.process), GetProcessId(run.process));
  }
  return result;
}

}  // namespace vlvpn
