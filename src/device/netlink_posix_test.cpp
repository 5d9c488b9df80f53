#include <gtest/gtest.h>

#include <algorithm>

#include "common/tcp_socket.h"
#include "device/netlink_posix.h"
#include "device/tap_adapter.h"
#include "device/traffic.h"

namespace vlvpn {
namespace {

using namespace std::chrono_literals;

// Loopback: every system has one, and on it what is sent is also received.
TEST(Netlink, LinksAndOneLinkAgreeAndCountersFollowTraffic) {
  const std::vector<LinkState> links = ReadLinks();
  const auto lo = std::find_if(links.begin(), links.end(), [](const LinkState& l) { return l.name == "lo"; });
  ASSERT_NE(lo, links.end());
  EXPECT_TRUE(lo->running);
  TcpSocket listener = TcpSocket::Listen(0);
  TcpSocket client = TcpSocket::Connect(listener.LocalPort(), 1s);
  TcpSocket server = listener.Accept(1s);
  ASSERT_TRUE(client.valid() && server.valid());
  const std::string payload(64 * 1024, 'v');
  ASSERT_TRUE(client.SendAll(payload));
  std::string seen;
  while (seen.size() < payload.size() && server.Receive(seen, 1s) == TcpSocket::Received::kData) {
  }
  const std::optional<LinkState> one = ReadLink("lo");
  ASSERT_TRUE(one.has_value());
  EXPECT_EQ(one->name, "lo");
  EXPECT_TRUE(one->running);
  EXPECT_GE(one->counters.out_octets, lo->counters.out_octets + payload.size());
  EXPECT_GE(one->counters.in_octets, lo->counters.in_octets + payload.size());
  for (const char* missing : {"", "vlvpn-none0", "a-name-far-too-long-for-an-interface"}) {
    EXPECT_EQ(ReadLink(missing), std::nullopt) << missing;
  }
}

TEST(Netlink, AKnownAdapterIsAskedFirstAndAGoneOneIsLookedFor) {
  // Any running interface stands for the tunnel's once it is known.
  const std::optional<AdapterReading> known = ReadTunnelAdapter(ActiveAdapter{0, "lo"});
  ASSERT_TRUE(known.has_value());
  EXPECT_EQ(known->adapter.name, "lo");
  const std::optional<AdapterReading> gone = ReadTunnelAdapter(ActiveAdapter{0, "vlvpn-none0"});
  const std::optional<ActiveAdapter> active = ActiveTapAdapter();
  ASSERT_EQ(gone.has_value(), active.has_value());
  if (gone) {
    EXPECT_EQ(gone->adapter.name, active->name);
  }
}

}  // namespace
}  // namespace vlvpn
