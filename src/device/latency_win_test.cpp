#include <gtest/gtest.h>

#include "device/latency.h"

namespace vlvpn {
namespace {

using namespace std::chrono_literals;

// Windows answers its own loopback echo; the probe must read the reply it was given.
// (Wine sends it through a raw socket, so under Wine this wants root.)
TEST(IcmpEcho, LoopbackAnswers) {
  const std::optional<int> echo = IcmpEchoMilliseconds("127.0.0.1", 900ms);
  ASSERT_TRUE(echo.has_value());
  EXPECT_GE(*echo, 0);
  EXPECT_LT(*echo, 900);
  EXPECT_EQ(IcmpEchoMilliseconds("no-such-host.invalid", 900ms), std::nullopt);
}

}  // namespace
}  // namespace vlvpn
