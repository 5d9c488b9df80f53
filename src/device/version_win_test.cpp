#include "device/version_win.h"

#include <gtest/gtest.h>

#include "common/file_io.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

// A program's own version is build_constants_test's (versionName read from this program).
TEST(VersionResource, ProgramWithoutResourceReportsTheDefault) {
  testing::TempFolder temp;
  WriteFileAtomically(temp.path() / "plain.exe", "MZ not really a program");
  EXPECT_EQ(ReadProductVersion(temp.path() / "plain.exe"), "1.0.0");
  EXPECT_EQ(ReadProductVersion(temp.path() / "missing.exe"), "1.0.0");
}

}  // namespace
}  // namespace vlvpn
