#include <windows.h>

#include <thread>

#include "fakes/fake_service.h"

namespace vlvpn::fakes {
namespace {

SERVICE_STATUS_HANDLE status_handle = nullptr;
const Serve* service_body = nullptr;

void Report(DWORD state) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  SetServiceStatus(status_handle, &status);
}

DWORD WINAPI Control(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP) {
    Report(SERVICE_STOPPED);
    // The pipe loop blocks in ConnectNamedPipe; a test double may simply end here.
    ExitProcess(0);
  }
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
  status_handle = RegisterServiceCtrlHandlerExW(L"", Control, nullptr);
  Report(SERVICE_RUNNING);
  (*service_body)([] { return true; });
  Report(SERVICE_STOPPED);
}

}  // namespace

int RunAsService(const Serve& serve) {
  service_body = &serve;
  wchar_t name[] = L"";
  SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}

}  // namespace vlvpn::fakes
