#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

namespace vlvpn {

struct RunAsAdminResult {
  bool started = false;
  HANDLE process = nullptr;  // owned by the caller; may be null even when started
  DWORD error = 0;           // ERROR_CANCELLED when the user declined the prompt
};

// ShellExecuteExW with the verb "runas", hidden, on a thread of its own that has COM
// set up (the shell may show UI and needs an apartment); returns once the prompt is answered.
RunAsAdminResult RunAsAdmin(const std::filesystem::path& program, const std::wstring& parameters);

}  // namespace vlvpn
