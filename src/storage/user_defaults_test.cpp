#include "storage/user_defaults.h"

#include <gtest/gtest.h>

#include "common/file_io.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

namespace fs = std::filesystem;

class UserDefaultsTest : public ::testing::Test {
 protected:
  fs::path Prefs() const { return root_.path() / "VLVPNDesk" / "prefs"; }

  testing::TempFolder root_;
  DataLocations locations_{[this] { return root_.path(); }};
  UserDefaults defaults_{locations_};
};

// The bytes themselves are file_io_test's, the mapping of keys names_test's.
TEST_F(UserDefaultsTest, StoresTheValueUnderTheMappedName) {
  defaults_.Write("theme", "dark");
  EXPECT_EQ(defaults_.Read("theme"), "dark");
  EXPECT_EQ(ReadFileBytes(Prefs() / "theme"), "dark");
  defaults_.Write("empty", "");
  EXPECT_EQ(ReadFileBytes(Prefs() / "empty"), "");

  const std::pair<std::string, std::string> pairs[] = {{"a b", "a_b"}, {"", "pref"}, {"a/b", "a?b"}};
  for (const auto& [written, read] : pairs) {
    defaults_.Write(written, "v:" + written);
    EXPECT_EQ(defaults_.Read(read), "v:" + written) << "keys with the same mapped name share one value";
  }
}

TEST_F(UserDefaultsTest, KeysNamingAFolderOrADeviceAreRefusedAndAFolderInTheWayFailsWrites) {
  for (const std::string key : {"..", "con", "aux.json"}) {
    EXPECT_THROW(defaults_.Write(key, "x"), std::invalid_argument) << key;
    EXPECT_THROW(defaults_.Read(key), std::invalid_argument) << key;
  }
  EXPECT_FALSE(fs::exists(Prefs())) << "refused before any folder is made";
  EXPECT_EQ(defaults_.Read("never"), "");
  EXPECT_TRUE(fs::is_directory(Prefs())) << "an unwritten key reads empty and makes the folder";

  fs::create_directories(Prefs() / "theme" / "inside");
  EXPECT_THROW(defaults_.Write("theme", "dark"), FileWriteError);
  EXPECT_EQ(defaults_.Read("theme"), "");
}

}  // namespace
}  // namespace vlvpn
