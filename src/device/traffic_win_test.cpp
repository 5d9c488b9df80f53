// winsock2.h and ws2ipdef.h before windows.h and netioapi.h.
#include <winsock2.h>
#include <ws2ipdef.h>
#include <windows.h>

#include <iphlpapi.h>
#include <netioapi.h>

#include <gtest/gtest.h>

#include <vector>

#include "device/traffic.h"

namespace vlvpn {
namespace {

// The loopback interface's LUID; 0 when the system lists none.
std::uint64_t LoopbackLuid() {
  ULONG size = 16 * 1024;
  std::vector<unsigned char> buffer(size);
  if (GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()),
                           &size) != NO_ERROR) {
    return 0;
  }
  for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); a != nullptr; a = a->Next) {
    if (a->IfType == IF_TYPE_SOFTWARE_LOOPBACK) return a->Luid.Value;
  }
  return 0;
}

TEST(TunnelAdapterReading, AKnownAdapterIsAskedFirstAndAGoneOneIsLookedFor) {
  const std::uint64_t loopback = LoopbackLuid();
  ASSERT_NE(loopback, 0u);
  // Any interface that is up stands for the tunnel's once it is known.
  const std::optional<AdapterReading> known = ReadTunnelAdapter(ActiveAdapter{loopback, "loopback"});
  ASSERT_TRUE(known.has_value());
  EXPECT_EQ(known->adapter.luid, loopback);
  EXPECT_TRUE(known->counters.has_value());

  const std::optional<AdapterReading> gone = ReadTunnelAdapter(ActiveAdapter{0xDEAD0000BEEFull, "gone"});
  const std::optional<ActiveAdapter> active = ActiveTapAdapter();
  ASSERT_EQ(gone.has_value(), active.has_value());
  if (gone) {
    EXPECT_EQ(gone->adapter.luid, active->luid);
  }
  EXPECT_EQ(ReadTunnelAdapter(std::nullopt).has_value(), active.has_value());
}

}  // namespace
}  // namespace vlvpn
