#include <windows.h>

#include "common/process_handle.h"

namespace vlvpn {

ProcessHandle::~ProcessHandle() { CloseHandle(reinterpret_cast<HANDLE>(native_)); }

std::shared_ptr<ProcessHandle> ProcessHandle::Open(std::uint32_t pid) {
  if (pid == 0) return nullptr;
  HANDLE handle = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (handle == nullptr) return nullptr;
  return Adopt(reinterpret_cast<std::intptr_t>(handle), pid);
}

std::shared_ptr<ProcessHandle> ProcessHandle::Adopt(std::intptr_t native, std::uint32_t pid) {
  return std::shared_ptr<ProcessHandle>(new ProcessHandle(native, pid));
}

bool ProcessHandle::WaitForExit(std::chrono::milliseconds timeout) const {
  return WaitForSingleObject(reinterpret_cast<HANDLE>(native_), static_cast<DWORD>(timeout.count())) ==
         WAIT_OBJECT_0;
}

// A failed query counts as running, as the exit code would.
bool ProcessHandle::HasExited() const {
  DWORD code = 0;
  if (!GetExitCodeProcess(reinterpret_cast<HANDLE>(native_), &code)) return false;
  return code != STILL_ACTIVE;
}

}  // namespace vlvpn
