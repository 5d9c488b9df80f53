// winsock2.h and ws2ipdef.h before windows.h and netioapi.h.
#include <winsock2.h>
#include <ws2ipdef.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <iphlpapi.h>
#include <netioapi.h>

#include "device/traffic.h"

namespace vlvpn {

std::optional<InterfaceCounters> ReadCounters(const ActiveAdapter& adapter) {
  MIB_IF_ROW2 row{};
  row.InterfaceLuid.Value = adapter.luid;
  if (GetIfEntry2(&row) != NO_ERROR) return std::nullopt;
  return InterfaceCounters{row.InOctets, row.OutOctets};
}

}  // namespace vlvpn
