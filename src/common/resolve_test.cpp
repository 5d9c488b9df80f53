#include "common/resolve.h"

#include <gtest/gtest.h>

namespace vlvpn {
namespace {

TEST(ResolveIPv4, DottedAddressesWithoutRepeats) {
  EXPECT_EQ(ResolveIPv4("127.0.0.1"), (std::vector<std::string>{"127.0.0.1"}));
  EXPECT_EQ(ResolveIPv4("10.200.3.4"), (std::vector<std::string>{"10.200.3.4"}));
  EXPECT_TRUE(ResolveIPv4("").empty());
  EXPECT_TRUE(ResolveIPv4("no-such-host.invalid").empty());
  EXPECT_EQ(ResolveIPv4Addresses("127.0.0.1").size(), 1u);
}

}  // namespace
}  // namespace vlvpn
