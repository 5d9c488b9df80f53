#include <winsock2.h>
#include <windows.h>

#include <iphlpapi.h>
#include <tlhelp32.h>

#include <vector>

#include "tunnel/openvpn_process.h"

namespace vlvpn {
namespace {

// The listener's owner; `listening` stays true when the table cannot be read.
PortListener ListenerOf(std::uint16_t port) {
  PortListener listener;
  listener.listening = true;
  ULONG size = 0;
  GetExtendedTcpTable(nullptr, &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_LISTENER, 0);
  std::vector<unsigned char> buffer(size + 1024);
  size = static_cast<ULONG>(buffer.size());
  if (GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_LISTENER, 0) !=
      NO_ERROR) {
    return listener;
  }
  listener.listening = false;
  const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_TCPROW_OWNER_PID& row = table->table[i];
    if (ntohs(static_cast<u_short>(row.dwLocalPort)) == port) {
      listener.listening = true;
      listener.owner = row.dwOwningPid;
      break;
    }
  }
  return listener;
}

// The first process for which `match` holds; 0 when none.
template <typename Match>
std::uint32_t FirstProcess(Match match) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  std::uint32_t pid = 0;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && pid == 0;
       more = Process32NextW(snapshot, &entry)) {
    if (match(entry)) pid = entry.th32ProcessID;
  }
  CloseHandle(snapshot);
  return pid;
}

bool NamedOpenVpn(const PROCESSENTRY32W& entry) { return _wcsicmp(entry.szExeFile, L"openvpn.exe") == 0; }

}  // namespace

bool SomethingListensOn(std::uint16_t port) { return ListenerOf(port).listening; }

std::uint32_t FindAdoptableOpenVpn(std::uint16_t management_port) {
  PortListener listener = ListenerOf(management_port);
  if (listener.owner != 0) {
    const DWORD owner = listener.owner;
    listener.owner_is_openvpn =
        FirstProcess([owner](const PROCESSENTRY32W& e) { return e.th32ProcessID == owner && NamedOpenVpn(e); }) != 0;
  }
  return ChooseOpenVpnToAdopt(listener, [] { return FirstProcess(NamedOpenVpn); });
}

}  // namespace vlvpn
