#include <winsock2.h>
#include <windows.h>

#include <iphlpapi.h>

#include <functional>
#include <thread>
#include <vector>

#include "common/run_as_admin_win.h"
#include "common/text.h"
#include "device/tap_adapter.h"

namespace vlvpn {
namespace {

using namespace std::chrono_literals;

// Walks the adapter list; `visit` returns true to stop. False when the list cannot be read.
bool ForEachAdapter(const std::function<bool(const IP_ADAPTER_ADDRESSES&)>& visit) {
  constexpr ULONG kFlags = GAA_FLAG_SKIP_UNICAST | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                           GAA_FLAG_SKIP_DNS_SERVER | GAA_FLAG_INCLUDE_ALL_INTERFACES;
  ULONG size = 16384;
  std::vector<unsigned char> buffer(size);
  ULONG status = GetAdaptersAddresses(AF_UNSPEC, kFlags, nullptr,
                                      reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  if (status == ERROR_BUFFER_OVERFLOW) {
    buffer.assign(size, 0);
    status = GetAdaptersAddresses(AF_UNSPEC, kFlags, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (status != NO_ERROR) return false;
  for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
       adapter = adapter->Next) {
    if (visit(*adapter)) return true;
  }
  return true;
}

bool IsTap(const IP_ADAPTER_ADDRESSES& adapter) {
  return adapter.Description != nullptr && IsTapDescription(adapter.Description);
}

}  // namespace

bool TapAdapterPresent() {
  bool found = false;
  ForEachAdapter([&](const IP_ADAPTER_ADDRESSES& adapter) { return found = IsTap(adapter); });
  return found;
}

std::optional<ActiveAdapter> ActiveTapAdapter() {
  std::optional<ActiveAdapter> active;
  ForEachAdapter([&](const IP_ADAPTER_ADDRESSES& adapter) {
    if (adapter.OperStatus != IfOperStatusUp || !IsTap(adapter)) return false;
    active = ActiveAdapter{adapter.Luid.Value, WideToUtf8(adapter.FriendlyName ? adapter.FriendlyName : L"")};
    return true;
  });
  return active;
}

bool EnsureTapAdapter(const std::filesystem::path& openvpn) {
  if (TapAdapterPresent()) return true;
  const std::filesystem::path installer = TapInstallerPath(openvpn);
  if (installer.empty()) return false;
  const RunAsAdminResult run = RunAsAdmin(installer, L"/S");
  if (run.process != nullptr) {
    WaitForSingleObject(run.process, 90000);
    CloseHandle(run.process);
  }
  const bool started = run.started;
  if (started) {
    for (int i = 0; i < 12 && !TapAdapterPresent(); ++i) std::this_thread::sleep_for(500ms);
  }
  return TapAdapterPresent();
}

}  // namespace vlvpn
