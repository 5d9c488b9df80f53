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

// The interface's row when it is up.
std::optional<MIB_IF_ROW2> UpInterfaceRow(std::uint64_t luid) {
  MIB_IF_ROW2 row{};
  row.InterfaceLuid.Value = luid;
  if (GetIfEntry2(&row) != NO_ERROR || row.OperStatus != IfOperStatusUp) return std::nullopt;
  return row;
}

}  // namespace

std::optional<AdapterReading> ReadTunnelAdapter(const std::optional<ActiveAdapter>& known) {
  if (known) {
    if (const auto row = UpInterfaceRow(known->luid))
      return AdapterReading{*known, {row->InOctets, row->OutOctets}};
  }
  const std::optional<ActiveAdapter> adapter = ActiveTapAdapter();
  if (!adapter) return std::nullopt;
  const auto row = UpInterfaceRow(adapter->luid);
  if (!row) return std::nullopt;
  return AdapterReading{*adapter, {row->InOctets, row->OutOctets}};
}

}  // namespace vlvpn
