#include "device/version_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "common/file_io.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

TEST(VersionResource, ProgramWithoutResourceReportsTheDefault) {
  testing::TempFolder temp;
  WriteFileAtomically(temp.path() / "plain.exe", "MZ not really a program");
  EXPECT_EQ(ReadProductVersion(temp.path() / "plain.exe"), "1.0.0");
  EXPECT_EQ(ReadProductVersion(temp.path() / "missing.exe"), "1.0.0");
}

TEST(VersionResource, ReadsTheProductVersionOfAProgram) {
  wchar_t self[MAX_PATH * 4] = {};
  ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH * 4), 0u);
  EXPECT_EQ(ReadProductVersion(self), VLVPN_VERSION_NAME);
}

}  // namespace
}  // namespace vlvpn
