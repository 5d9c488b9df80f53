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

TEST_F(UserDefaultsTest, StoresExactBytesUnderTheMappedName) {
  defaults_.Write("theme", "dark");
  EXPECT_EQ(defaults_.Read("theme"), "dark");
  EXPECT_EQ(ReadFileBytes(Prefs() / "theme"), "dark");

  const std::string raw("a\r\nb\nc\r\0d", 9);
  defaults_.Write("raw", raw);
  EXPECT_EQ(defaults_.Read("raw"), raw);

  defaults_.Write("empty", "");
  EXPECT_EQ(ReadFileBytes(Prefs() / "empty"), "");
  EXPECT_EQ(defaults_.Read("empty"), "");
}

TEST_F(UserDefaultsTest, KeysWithTheSameMappedNameShareOneValue) {
  const std::pair<std::string, std::string> pairs[] = {{"a b", "a_b"}, {"", "pref"}, {"a/b", "a?b"}};
  for (const auto& [written, read] : pairs) {
    defaults_.Write(written, "v:" + written);
    EXPECT_EQ(defaults_.Read(read), "v:" + written);
  }
}

TEST_F(UserDefaultsTest, UnwrittenKeyReadsEmptyAndMakesThePrefsFolder) {
  EXPECT_EQ(defaults_.Read("never"), "");
  EXPECT_TRUE(fs::is_directory(Prefs()));
}

TEST_F(UserDefaultsTest, KeysNamingAFolderOrADeviceAreRefused) {
  for (const std::string key : {".", "..", "con", "NUL", "Com1", "aux.json", "trailing."}) {
    EXPECT_THROW(defaults_.Write(key, "x"), std::invalid_argument) << key;
    EXPECT_THROW(defaults_.Read(key), std::invalid_argument) << key;
  }
  EXPECT_FALSE(fs::exists(Prefs())) << "refused before any folder is made";
}

TEST_F(UserDefaultsTest, AFolderInTheWayFailsWritesAndReadsEmpty) {
  fs::create_directories(Prefs() / "theme" / "inside");
  EXPECT_THROW(defaults_.Write("theme", "dark"), FileWriteError);
  EXPECT_EQ(defaults_.Read("theme"), "");
}

}  // namespace
}  // namespace vlvpn
