#pragma once

#include <windows.h>

#include "common/unique_resource.h"

namespace vlvpn {

struct HandleTraits {
  using Native = HANDLE;
  static HANDLE Empty() { return nullptr; }
  // Some calls fail with null, others with INVALID_HANDLE_VALUE.
  static bool Valid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  static void Close(HANDLE handle) { CloseHandle(handle); }
};

struct ServiceHandleTraits {
  using Native = SC_HANDLE;
  static SC_HANDLE Empty() { return nullptr; }
  static bool Valid(SC_HANDLE handle) { return handle != nullptr; }
  static void Close(SC_HANDLE handle) { CloseServiceHandle(handle); }
};

// A kernel object handle closed with CloseHandle when it goes.
using UniqueHandle = UniqueResource<HandleTraits>;
// A service control manager or service handle closed with CloseServiceHandle.
using UniqueServiceHandle = UniqueResource<ServiceHandleTraits>;

}  // namespace vlvpn
