// winsock2.h and ws2ipdef.h before windows.h and netioapi.h.
#include <winsock2.h>
#include <ws2ipdef.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <iphlpapi.h>
#include <netioapi.h>

#include "device/traffic.h"

namespace vlvpn {

namespace {

// The interface's row; nullopt when it cannot be read.
std::optional<MIB_IF_ROW2> InterfaceRow(std::uint64_t luid) {
  MIB_IF_ROW2 row{};
  row.InterfaceLuid.Value = luid;
  if (GetIfEntry2(&row) != NO_ERROR) return std::nullopt;
  return row;
}

InterfaceCounters CountersOf(const MIB_IF_ROW2& row) { return {row.InOctets, row.OutOctets}; }

}  // namespace

std::optional<AdapterReading> ReadTunnelAdapter(const std::optional<ActiveAdapter>& known) {
  if (known) {
    const auto row = InterfaceRow(known->luid);
    if (row && row->OperStatus == IfOperStatusUp) return AdapterReading{*known, CountersOf(*row)};
  }
  const std::optional<ActiveAdapter> adapter = ActiveTapAdapter();
  if (!adapter) return std::nullopt;
  const auto row = InterfaceRow(adapter->luid);
  return AdapterReading{*adapter, row ? std::optional<InterfaceCounters>(CountersOf(*row)) : std::nullopt};
}

}  // namespace vlvpn
