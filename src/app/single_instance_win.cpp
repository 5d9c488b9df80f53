#include <windows.h>

#include "app/host_window.h"
#include "app/single_instance.h"
#include "common/unique_handle_win.h"

namespace vlvpn {

struct SingleInstance::Impl {
  UniqueHandle mutex;  // held until the process ends
};

SingleInstance::SingleInstance(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SingleInstance::~SingleInstance() = default;

std::unique_ptr<SingleInstance> SingleInstance::Claim(std::function<void()>) {
  auto impl = std::make_unique<Impl>();
  impl->mutex = UniqueHandle(CreateMutexW(nullptr, TRUE, L"VLVPNDesk-SingleInstance"));
  if (!impl->mutex.valid() || GetLastError() != ERROR_ALREADY_EXISTS) {
    // A mutex that cannot be made never keeps the program from running.
    return std::unique_ptr<SingleInstance>(new SingleInstance(std::move(impl)));
  }
  AllowSetForegroundWindow(ASFW_ANY);
  if (const HWND tray = FindWindowW(kTrayWindowClass, nullptr)) {
    PostMessageW(tray, kShowWindowMessage, 0, 0);
  } else if (const HWND host = FindWindowW(kHostWindowClass, kHostWindowTitle)) {
    ShowWindow(host, SW_SHOW);
    SetForegroundWindow(host);
  }
  return nullptr;
}

}  // namespace vlvpn
