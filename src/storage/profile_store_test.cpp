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
using ::testing::StrEq;
using ::testing::ThrowsMessage;
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
  fs::create_directories(Profiles() / "unreadable" / "meta.json");
  EXPECT_THAT(store_.ListMeta(), UnorderedElementsAre(R"({"name":"A"})", "not json at all", "line1\nline2\n", ""))
      << "a meta that cannot be read lists empty, and the rest follow";
  EXPECT_EQ(Read(Profiles() / "c" / "meta.json"), "line1\r\nline2\r\n") << "stored untranslated";
}

TEST_F(ProfileStoreTest, DeleteRemovesTheWholeProfileAndUnsafeNamesNeverReachTheFileSystem) {
  store_.SaveConfig("gone", "client", "x.ovpn");
  fs::create_directories(Profiles() / "gone" / "nested");
  store_.SaveMeta("kept", "{}");
  std::ofstream(root_.path() / "VLVPNDesk" / "active.txt") << "kept";
  store_.Delete("gone");
  store_.Delete("never-saved");
  EXPECT_FALSE(fs::exists(Profiles() / "gone"));
  EXPECT_FALSE(fs::exists(Profiles() / "never-saved"));

  // Every method checks its names, through DataLocations (names_test holds the full list).
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

TEST_F(ProfileStoreTest, CredentialsRoundTripThroughTheTwoLineFileAndLineBreaksAreRefused) {
  const fs::path auth = Profiles() / "p1" / "auth.txt";
  store_.SaveCredentials("p1", "alice", "");
  EXPECT_EQ(Read(auth), "alice\n\n");
  store_.SaveCredentials("p1", "b\xC3\xB6", "p\x1Ass word");
  const auto utf8 = store_.ReadCredentials("p1");
  EXPECT_EQ(utf8.username, "b\xC3\xB6");
  EXPECT_EQ(utf8.password, "p\x1Ass word") << "byte 0x1A must not end the read";

  const std::pair<std::string, std::string> refused[] = {
      {"a\nb", "pw"}, {"a\rb", "pw"}, {"user", "pw\n--inject"}, {"user", "pw\r"}};
  for (const auto& pair : refused) {
    EXPECT_THAT([&] { store_.SaveCredentials("p1", pair.first, pair.second); },
                ThrowsMessage<std::invalid_argument>(HasSubstr("must not contain a line break")));
  }
  EXPECT_EQ(Read(auth), "b\xC3\xB6\np\x1Ass word\n") << "a refused pair writes nothing";

  // Files written elsewhere.
  const std::string cases[][3] = {
      {"u\r\np\r\n", "u", "p"},           {"u\np", "u", "p"}, {"only-user", "only-user", ""}, {"", "", ""},
      {"u\np\nextra\nlines\n", "u", "p"},
  };
  for (const auto& [file, user, password] : cases) {
    WriteFileAtomically(auth, file);
    const auto read = store_.ReadCredentials("p1");
    EXPECT_EQ(read.username, user) << file;
    EXPECT_EQ(read.password, password) << file;
  }
}

// Something else where a file belongs: writes fail, reads find nothing, and nothing is
// made for an unknown profile.
TEST_F(ProfileStoreTest, AFolderWhereAFileBelongsFailsWritesAndReadsAsAbsent) {
  for (const char* file : {"server.ovpn", "meta.json"}) fs::create_directories(Profiles() / "odd" / file);
  fs::create_directories(Profiles() / "odd" / "auth.txt" / "inside");
  EXPECT_THROW(store_.SaveConfig("odd", "client", "server.ovpn"), FileWriteError);
  EXPECT_THROW(store_.SaveMeta("odd", "{}"), FileWriteError);
  for (const std::string id : {"nobody", "odd"}) {
    EXPECT_THAT([&] { store_.ReadCredentials(id); }, ThrowsMessage<std::runtime_error>(StrEq("Auth file not found")))
        << id;
  }
  EXPECT_FALSE(fs::exists(Profiles() / "nobody"));
}

}  // namespace
}  // namespace vlvpn
