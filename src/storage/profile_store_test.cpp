#include "storage/profile_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "common/file_io.h"
#include "common/text.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;

class ProfileStoreTest : public ::testing::Test {
 protected:
  fs::path Profiles() const { return root_.path() / "VLVPNDesk" / "profiles"; }
  std::string Read(const fs::path& p) const { return ReadFileBytes(p).value_or("<missing>"); }

  testing::TempFolder root_;
  DataLocations locations_{[this] { return root_.path(); }};
  ProfileStore store_{locations_};
};

TEST_F(ProfileStoreTest, SavesConfigurationByteForByte) {
  const std::string config = "client\r\nremote vpn.example.com 1194\r\n\x1A tail";
  const auto saved = store_.SaveConfig("p1", config, "server.ovpn");
  const fs::path file = Profiles() / "p1" / "server.ovpn";
  EXPECT_EQ(saved.config_path, PathToUtf8(file));
  EXPECT_EQ(saved.file_name, "server.ovpn");
  EXPECT_EQ(Read(file), config);

  store_.SaveConfig("p1", "short", "server.ovpn");
  EXPECT_EQ(Read(file), "short") << "saving again replaces the file whole";
  store_.SaveConfig("p1", "other", "new.ovpn");
  EXPECT_EQ(Read(file), "short") << "a new file name leaves the old file";
}

TEST_F(ProfileStoreTest, ListsOnlyFoldersWithMetadataAndHandsItBackRaw) {
  EXPECT_TRUE(store_.ListMeta().empty());
  EXPECT_TRUE(fs::is_directory(Profiles())) << "listing creates the profiles folder";

  store_.SaveMeta("a", R"({"name":"A"})");
  store_.SaveMeta("b", "not json at all");
  store_.SaveMeta("c", "line1\r\nline2\r\n");
  store_.SaveConfig("config-only", "client", "x.ovpn");
  std::ofstream(Profiles() / "stray-file") << "x";
  EXPECT_THAT(store_.ListMeta(),
              UnorderedElementsAre(R"({"name":"A"})", "not json at all", "line1\nline2\n"));
  EXPECT_EQ(Read(Profiles() / "c" / "meta.json"), "line1\r\nline2\r\n") << "stored untranslated";
}

TEST_F(ProfileStoreTest, DeleteRemovesTheWholeProfileAndToleratesUnknownIds) {
  store_.SaveConfig("gone", "client", "x.ovpn");
  fs::create_directories(Profiles() / "gone" / "nested");
  store_.SaveMeta("kept", "{}");
  store_.Delete("gone");
  store_.Delete("never-saved");
  EXPECT_FALSE(fs::exists(Profiles() / "gone"));
  EXPECT_FALSE(fs::exists(Profiles() / "never-saved"));
  EXPECT_THAT(store_.ListMeta(), ElementsAre("{}"));
}

// Every method checks its names, through DataLocations (names_test holds the full list).
TEST_F(ProfileStoreTest, UnsafeIdsAndFileNamesNeverReachTheFileSystem) {
  store_.SaveMeta("kept", "{}");
  std::ofstream(root_.path() / "VLVPNDesk" / "active.txt") << "kept";
  for (const std::string id : {"..", "../prefs", "CON"}) {
    EXPECT_THROW(store_.Delete(id), std::invalid_argument) << id;
    EXPECT_THROW(store_.SaveConfig(id, "x", "x.ovpn"), std::invalid_argument) << id;
    EXPECT_THROW(store_.SaveMeta(id, "{}"), std::invalid_argument) << id;
    EXPECT_THROW(store_.SaveCredentials(id, "u", "p"), std::invalid_argument) << id;
    EXPECT_THROW(store_.ReadCredentials(id), std::invalid_argument) << id;
  }
  for (const std::string file : {"..", "../../active.txt", "com1.ovpn"}) {
    EXPECT_THROW(store_.SaveConfig("p", "x", file), std::invalid_argument) << file;
  }
  EXPECT_EQ(Read(root_.path() / "VLVPNDesk" / "active.txt"), "kept");
  EXPECT_THAT(store_.ListMeta(), ElementsAre("{}"));
  EXPECT_FALSE(fs::exists(Profiles() / "p")) << "a refused file name creates no folder";
}

TEST_F(ProfileStoreTest, CredentialsRoundTripThroughTheTwoLineFile) {
  store_.SaveCredentials("p1", "alice", "");
  EXPECT_EQ(Read(Profiles() / "p1" / "auth.txt"), "alice\n\n");
  store_.SaveCredentials("p1", "b\xC3\xB6", "p\x1Ass word");
  const auto utf8 = store_.ReadCredentials("p1");
  EXPECT_EQ(utf8.username, "b\xC3\xB6");
  EXPECT_EQ(utf8.password, "p\x1Ass word") << "byte 0x1A must not end the read";

  // Files written elsewhere.
  const std::string cases[][3] = {
      {"u\r\np\r\n", "u", "p"}, {"u\np", "u", "p"}, {"only-user", "only-user", ""}, {"", "", ""},
      {"u\np\nextra\nlines\n", "u", "p"},
  };
  for (const auto& [file, user, password] : cases) {
    WriteFileAtomically(Profiles() / "p1" / "auth.txt", file);
    const auto read = store_.ReadCredentials("p1");
    EXPECT_EQ(read.username, user) << file;
    EXPECT_EQ(read.password, password) << file;
  }
}

TEST_F(ProfileStoreTest, LineBreaksInCredentialsAreRefusedAndNothingIsWritten) {
  store_.SaveCredentials("p1", "old", "secret");
  const std::pair<std::string, std::string> cases[] = {
      {"a\nb", "pw"}, {"a\rb", "pw"}, {"user", "pw\n--inject"}, {"user", "pw\r"}};
  for (const auto& [user, password] : cases) {
    try {
      store_.SaveCredentials("p1", user, password);
      FAIL() << "line break accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_THAT(e.what(), HasSubstr("must not contain a line break"));
    }
  }
  EXPECT_EQ(Read(Profiles() / "p1" / "auth.txt"), "old\nsecret\n");
}

// Absent, or something else where the file belongs: read as absent, and nothing is
// made for an unknown profile.
TEST_F(ProfileStoreTest, MissingCredentialsRejectAndMakeNothing) {
  fs::create_directories(Profiles() / "odd" / "auth.txt" / "inside");
  for (const std::string id : {"nobody", "odd"}) {
    try {
      store_.ReadCredentials(id);
      FAIL() << "expected a rejection";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Auth file not found") << id;
    }
  }
  EXPECT_FALSE(fs::exists(Profiles() / "nobody"));
}

TEST_F(ProfileStoreTest, AnUnreadableMetaIsListedEmptyAndTheRestFollow) {
  for (const std::string id : {"a", "b", "c", "d"}) store_.SaveMeta(id, "{\"id\":\"" + id + "\"}");
  fs::remove(Profiles() / "b" / "meta.json");
  fs::create_directories(Profiles() / "b" / "meta.json" / "inside");
  EXPECT_THAT(store_.ListMeta(), UnorderedElementsAre(R"({"id":"a"})", "", R"({"id":"c"})", R"({"id":"d"})"));
}

TEST_F(ProfileStoreTest, FailedWritesAreReportedNotResolved) {
  fs::create_directories(Profiles() / "p1" / "server.ovpn");
  fs::create_directories(Profiles() / "p1" / "meta.json");
  EXPECT_THROW(store_.SaveConfig("p1", "client", "server.ovpn"), FileWriteError);
  EXPECT_THROW(store_.SaveMeta("p1", "{}"), FileWriteError);
}

}  // namespace
}  // namespace vlvpn
