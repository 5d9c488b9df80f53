#include <windows.h>

#include <tlhelp32.h>

#include <iterator>
#include <string>

#include "common/text.h"
#include "common/unique_handle_win.h"
#include "killswitch/close_apps.h"

namespace vlvpn {
namespace {

template <typename Visit>
void ForEachProcess(Visit visit) {
  const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) return;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    visit(entry);
  }
}

}  // namespace

std::vector<RunningProgram> RunningPrograms() {
  std::vector<RunningProgram> programs;
  ForEachProcess([&](const PROCESSENTRY32W& entry) {
    programs.push_back({entry.th32ProcessID, {WideToUtf8(entry.szExeFile)}});
  });
  return programs;
}

bool EndProcess(std::uint32_t pid, const std::string& name) {
  // One handle for the check and the end: a pid reused meanwhile is never hit.
  const UniqueHandle process(OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process.valid()) return false;
  wchar_t path[32768];
  DWORD size = static_cast<DWORD>(std::size(path));
  if (QueryFullProcessImageNameW(process.get(), 0, path, &size) == FALSE) return false;
  std::wstring image(path, size);
  const std::size_t slash = image.find_last_of(L"\\/");
  if (slash != std::wstring::npos) image.erase(0, slash + 1);
  if (!MatchChosenApp(WideToUtf8(image), {AsciiLowerCopy(name)})) return false;
  return TerminateProcess(process.get(), 0) != FALSE;
}

std::uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

std::uint32_t ParentProcessId() {
  const DWORD self = GetCurrentProcessId();
  std::uint32_t parent = 0;
  ForEachProcess([&](const PROCESSENTRY32W& entry) {
    if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
  });
  return parent;
}

}  // namespace vlvpn
