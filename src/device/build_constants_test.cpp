#include "device/build_constants.h"

#include <gtest/gtest.h>

#include "device/device_facts.h"

namespace vlvpn {
namespace {

TEST(BuildConstants, SixKeysInOrderWithTheComputedValues) {
  const Value constants = BuildConstants();
  std::vector<std::string> keys;
  for (const auto& item : constants.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"apiBaseUrl", "includeVpnAuthDeviceMetadata", "versionName",
                                            "appDisplayName", "osVersion", "deviceModel"}));
  EXPECT_TRUE(constants["includeVpnAuthDeviceMetadata"].is_boolean());
  // The test program carries the same version resource as the product.
  EXPECT_EQ(constants["versionName"], VLVPN_VERSION_NAME);
  EXPECT_EQ(constants["osVersion"], OsVersion());
  EXPECT_EQ(constants["deviceModel"], DeviceModel());
  EXPECT_FALSE(OsVersion().empty() || DeviceModel().empty()) << "this machine's facts are never empty";

  // The product version is three of the resource's four parts.
  EXPECT_EQ(FormatProductVersion(0x00020003, 0x00040005), "2.3.4");
  EXPECT_EQ(FormatProductVersion(0x000A0000, 0x00000000), "10.0.0");
  EXPECT_EQ(FormatProductVersion(0xFFFFFFFF, 0xFFFF0001), "65535.65535.65535");
}

}  // namespace
}  // namespace vlvpn
