#include <gtest/gtest.h>

#include "common/file_io.h"
#include "device/device_facts.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

namespace fs = std::filesystem;

TEST(LinuxDeviceFacts, ReadFromDmiAndOsReleaseElseFallBack) {
  testing::TempFolder root;
  fs::create_directories(root.path() / "sys/class/dmi/id");
  fs::create_directories(root.path() / "etc");
  WriteFileAtomically(root.path() / "sys/class/dmi/id/product_name", "To be filled by O.E.M.\n");
  WriteFileAtomically(root.path() / "sys/class/dmi/id/sys_vendor", "Example Maker\n");
  WriteFileAtomically(root.path() / "etc/os-release", "ID=debian\nVERSION_ID=\"12\"\n");
  const DeviceFacts facts = ReadDeviceFacts(root.path());
  EXPECT_EQ(facts.product_name, "To be filled by O.E.M.") << "sysfs's own line feed is dropped";
  EXPECT_EQ(DeviceModelFrom(facts), "Example Maker PC");
  EXPECT_EQ(OsVersionFrom(facts), "12");

  const DeviceFacts missing = ReadDeviceFacts(root.path() / "empty");
  EXPECT_EQ(DeviceModelFrom(missing), "Windows PC");
  EXPECT_EQ(OsVersionFrom(missing), "10");
}

}  // namespace
}  // namespace vlvpn
