#include <windows.h>

#include <tlhelp32.h>

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

std::vector<std::string> TerminateApps(const std::vector<std::string>& names, const std::set<std::uint32_t>& spared) {
  std::vector<std::string> lowered;
  for (const std::string& name : names) lowered.push_back(AsciiLowerCopy(name));
  std::vector<std::string> terminated;
  if (lowered.empty()) return terminated;
  const DWORD self = GetCurrentProcessId();
  ForEachProcess([&](const PROCESSENTRY32W& entry) {
    if (entry.th32ProcessID == self || spared.count(entry.th32ProcessID) != 0) return;
    const std::string name = WideToUtf8(entry.szExeFile);
    if (!MatchChosenApp(name, lowered)) return;
    const UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID));
    if (process.valid() && TerminateProcess(process.get(), 0)) terminated.push_back(name);
  });
  return terminated;
}

std::uint32_t ParentProcessId() {
  const DWORD self = GetCurrentProcessId();
  std::uint32_t parent = 0;
  ForEachProcess([&](const PROCESSENTRY32W& entry) {
    if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
  });
  return parent;
}

}  // namespace vlvpn
