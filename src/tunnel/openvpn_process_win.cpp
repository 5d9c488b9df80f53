#include <winsock2.h>
#include <windows.h>

#include <iphlpapi.h>
#include <tlhelp32.h>

#include <vector>

#include "tunnel/openvpn_process.h"

namespace vlvpn {
namespace {

std::uint32_t ListeningOwner(std::uint16_t port) {
  ULONG size = 0;
  GetExtendedTcpTable(nullptr, &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_LISTENER, 0);
  std::vector<unsigned char> buffer(size + 1024);
  size = static_cast<ULONG>(buffer.size());
  if (GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_LISTENER, 0) !=
      NO_ERROR) {
    return 0;
  }
  const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_TCPROW_OWNER_PID& row = table->table[i];
    if (ntohs(static_cast<u_short>(row.dwLocalPort)) == port) return row.dwOwningPid;
  }
  return 0;
}

std::uint32_t FirstNamedOpenVpn() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  std::uint32_t pid = 0;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && pid == 0;
       more = Process32NextW(snapshot, &entry)) {
    if (_wcsicmp(entry.szExeFile, L"openvpn.exe") == 0) pid = entry.th32ProcessID;
  }
  CloseHandle(snapshot);
  return pid;
}

}  // namespace

std::uint32_t FindOpenVpnProcess(std::uint16_t management_port) {
  const std::uint32_t owner = ListeningOwner(management_port);
  return owner != 0 ? owner : FirstNamedOpenVpn();
}

}  // namespace vlvpn
