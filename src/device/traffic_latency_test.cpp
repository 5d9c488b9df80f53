#include <gtest/gtest.h>

#include "common/tcp_socket.h"
#include "device/latency.h"
#include "device/traffic.h"

namespace vlvpn {
namespace {

using namespace std::chrono_literals;

TEST(TrafficSampler, RatesFromTwoSamplesHalfASecondApart) {
  TrafficSampler sampler;
  const ActiveAdapter tun{7, "tun0"};
  const auto at = [&](std::uint64_t in, std::uint64_t out, std::uint64_t ms) {
    const auto rates = sampler.SampleWith(tun, InterfaceCounters{in, out}, ms);
    return std::pair<double, double>{rates.down, rates.up};
  };
  EXPECT_EQ(at(1000, 500, 10000), (std::pair<double, double>{0, 0})) << "the first sample is the baseline";
  EXPECT_EQ(at(1100, 600, 10100), (std::pair<double, double>{0, 0})) << "too soon: the stored rates";
  EXPECT_EQ(at(3000, 1500, 11000), (std::pair<double, double>{2000, 1000}));
  EXPECT_EQ(at(3050, 1550, 11100), (std::pair<double, double>{2000, 1000}))
      << "100 ms later: the same numbers";
  EXPECT_EQ(at(100, 2500, 12000), (std::pair<double, double>{2000, 1000}))
      << "a counter that went back keeps its rate";
  EXPECT_EQ(at(600, 2500, 13000), (std::pair<double, double>{500, 0}));
  EXPECT_EQ(sampler.SampleWith(tun, std::nullopt, 13500).down, 0) << "unreadable counters report nothing";
  EXPECT_EQ(at(1600, 2500, 14000), (std::pair<double, double>{1000, 0})) << "and leave the baseline alone";
  const auto other = sampler.SampleWith(ActiveAdapter{8, "tun1"}, InterfaceCounters{5, 5}, 14500);
  EXPECT_EQ(other.down, 0) << "another adapter starts a new baseline";
  EXPECT_EQ(sampler.SampleWith(std::nullopt, std::nullopt, 15000).down, 0);
  EXPECT_EQ(sampler.SampleWith(ActiveAdapter{8, "tun1"}, InterfaceCounters{9999, 9999}, 16000).down, 0)
      << "no adapter reset the sampler";
  sampler.Reset();
  EXPECT_EQ(sampler.SampleWith(tun, InterfaceCounters{1, 1}, 17000).down, 0);
}

TEST(Latency, PortsAndCandidates) {
  for (const int bad : {0, -5, 65536, 100000}) EXPECT_EQ(NormalizeLatencyPort(bad), 1194);
  EXPECT_EQ(NormalizeLatencyPort(8443), 8443);
  EXPECT_EQ(LatencyCandidatePorts(1194), (std::vector<int>{1194, 80, 443}));
  EXPECT_EQ(LatencyCandidatePorts(443), (std::vector<int>{1194, 80, 443}));
  EXPECT_EQ(LatencyCandidatePorts(80), (std::vector<int>{80, 1194, 443}));
  EXPECT_EQ(LatencyCandidatePorts(5000), (std::vector<int>{5000, 1194, 80, 443}));
}

TEST(Latency, TcpConnectTimesAnsweredAndRefusedPortsNotUnresolvableHosts) {
  const TcpSocket listener = TcpSocket::Listen(0);
  const auto open = TcpConnectMilliseconds("127.0.0.1", listener.LocalPort(), 900ms);
  ASSERT_TRUE(open.has_value());
  EXPECT_GE(*open, 0);
  const std::uint16_t closed = TcpSocket::Listen(0).LocalPort();  // nothing listens there now
  EXPECT_TRUE(TcpConnectMilliseconds("127.0.0.1", closed, 900ms).has_value())
      << "refused means the host answered";
  EXPECT_EQ(TcpConnectMilliseconds("no-such-host.invalid", 1194, 900ms), std::nullopt);
  EXPECT_EQ(MeasureLatency("no-such-host.invalid", 1194), 0);
}

}  // namespace
}  // namespace vlvpn
