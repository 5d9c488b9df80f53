#include "tunnel/profile_files.h"

#include <gtest/gtest.h>

#include "common/file_io.h"
#include "common/text.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

namespace fs = std::filesystem;

class ProfileFilesTest : public ::testing::Test {
 protected:
  fs::path Put(const std::string& name, const std::string& text = "client\n") {
    WriteFileAtomically(folder_ / PathFromUtf8(name), text);
    return folder_ / PathFromUtf8(name);
  }
  testing::TempFolder temp_;
  fs::path folder_ = temp_.path();
};

TEST_F(ProfileFilesTest, CredentialsAreWrittenOnlyWhenAUserNameIsGiven) {
  EXPECT_EQ(PrepareCredentials(folder_, "", "ignored"), std::nullopt) << "no name, no saved file: no option";
  EXPECT_FALSE(fs::exists(folder_ / "auth.txt"));

  EXPECT_EQ(PrepareCredentials(folder_, "alice", "s3cret pass"), folder_ / "auth.txt");
  EXPECT_EQ(ReadFileBytes(folder_ / "auth.txt"), "alice\ns3cret pass\n");
  EXPECT_EQ(PrepareCredentials(folder_, "", ""), folder_ / "auth.txt") << "a saved file still serves";
  EXPECT_EQ(ReadFileBytes(folder_ / "auth.txt"), "alice\ns3cret pass\n");

  EXPECT_THROW(PrepareCredentials(folder_, "alice", "pw\n--script-security 3"), std::invalid_argument);
  EXPECT_EQ(ReadFileBytes(folder_ / "auth.txt"), "alice\ns3cret pass\n");

  // A write that fails is never papered over by the earlier file.
  EXPECT_THROW(PrepareCredentials(folder_ / "gone", "alice", "new"), FileWriteError);
}

TEST_F(ProfileFilesTest, TheNamedConfigurationElseTheFirstOvpnFileInFolderOrder) {
  for (const char* name : {"my server.ovpn", "b.ovpn", "a.ovpn", "notes.txt"}) Put(name);
  EXPECT_EQ(FindConfigFile(folder_, "my server.ovpn"), folder_ / "my server.ovpn");
  EXPECT_EQ(FindConfigFile(folder_, "a.ovpn"), folder_ / "a.ovpn");
  fs::path first;
  for (const auto& entry : fs::directory_iterator(folder_)) {
    if (entry.path().extension() == ".ovpn") {
      first = entry.path();
      break;
    }
  }
  for (const std::string name : {"missing.ovpn", "", "..", "../a.ovpn", "sub/a.ovpn", "CON"}) {
    EXPECT_EQ(FindConfigFile(folder_, name), first) << name;
  }
}

TEST_F(ProfileFilesTest, OnlyRegularFilesWithTheExactExtensionCount) {
  Put("SERVER.OVPN");
  fs::create_directories(folder_ / "folder.ovpn");
  EXPECT_EQ(FindConfigFile(folder_, "folder.ovpn"), std::nullopt);
  EXPECT_EQ(FindConfigFile(folder_, ""), std::nullopt);
  const fs::path dotted = Put(".ovpn");
  EXPECT_EQ(FindConfigFile(folder_, "x"), dotted);
}

TEST_F(ProfileFilesTest, LogRotationKeepsThePreviousRun) {
  EXPECT_EQ(RotateLog(folder_), folder_ / "openvpn.log") << "a first start is no error";
  Put("openvpn.log", "run 1");
  RotateLog(folder_);
  Put("openvpn.log", "run 2");
  EXPECT_EQ(RotateLog(folder_), folder_ / "openvpn.log");
  EXPECT_EQ(ReadFileBytes(folder_ / "openvpn.log").value_or(""), "") << "the new run starts empty";
  EXPECT_EQ(ReadFileBytes(folder_ / "openvpn.log.1"), "run 2");

  // The previous name taken by something that cannot be replaced: the log stays.
  fs::remove(folder_ / "openvpn.log.1");
  fs::create_directories(folder_ / "openvpn.log.1" / "held");
  Put("openvpn.log", "run 3");
  RotateLog(folder_);
  EXPECT_EQ(ReadFileBytes(folder_ / "openvpn.log"), "run 3");
}

}  // namespace
}  // namespace vlvpn
