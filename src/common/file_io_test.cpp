#include "common/file_io.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <fstream>

#include "support/temp_folder.h"

namespace vlvpn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::size_t EntriesIn(const fs::path& folder) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

void WriteRaw(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// One folder for every write: what may stay behind is counted in it.
TEST(WriteFileAtomically, ReplacesTheWholeFileOrFailsAndLeavesNothingBehind) {
  testing::TempFolder temp;
  const fs::path file = temp.path() / "server.ovpn";
  const std::string first(100000, 'x');
  WriteFileAtomically(file, first);
  EXPECT_EQ(ReadFileBytes(file), first);
  const std::string second(
      "a\r\nb\0c\x1A"
      "after-eof\n",
      17);
  WriteFileAtomically(file, second);
  EXPECT_EQ(ReadFileBytes(file), second);
  EXPECT_EQ(ReadFileBytes(temp.path() / "absent"), std::nullopt);
  EXPECT_EQ(ReadFileBytes(temp.path()), std::nullopt) << "a folder reads as absent";

  EXPECT_THAT([&] { WriteFileAtomically(temp.path() / "missing" / "file.txt", "data"); },
              ::testing::Throws<FileWriteError>(
                  ::testing::AllOf(::testing::Property(&FileWriteError::error, ::testing::Ne(0u)),
                                   ::testing::Property(&FileWriteError::what, ::testing::HasSubstr("file.txt")))));
  const fs::path folder_in_the_way = temp.path() / "taken";
  fs::create_directories(folder_in_the_way / "child");
  EXPECT_THROW(WriteFileAtomically(folder_in_the_way, "data"), FileWriteError);
  EXPECT_TRUE(fs::is_directory(folder_in_the_way / "child"));
  EXPECT_EQ(EntriesIn(temp.path()), 2u) << "no temporary file may stay behind";

  // The longest path the classic limit allows (259 units): the temporary sibling's name
  // is longer than "auth.txt", and the write must not fail for it.
  const std::size_t room = 259 - temp.path().native().size() - 10;
  ASSERT_GT(room, 102u);
  const fs::path folder = temp.path() / std::string(room - 101, 'p') / std::string(100, 'q');
  fs::create_directories(folder);
  const fs::path target = folder / "auth.txt";
  ASSERT_EQ(target.native().size(), 259u);
  WriteFileAtomically(target, "user\npass\n");
  EXPECT_EQ(ReadFileBytes(target), "user\npass\n");
  WriteFileAtomically(target, "again\n");
  EXPECT_EQ(ReadFileBytes(target), "again\n");
  EXPECT_EQ(EntriesIn(folder), 1u);
}

TEST(TemporaryFiles, OnlyOurStaleOnesAreRemoved) {
  testing::TempFolder temp;
  struct Case {
    std::string name;
    bool old;
    bool removed;
  };
  const Case cases[] = {
      {".vlvpn-1a2b3c-0.tmp", true, true},
      {".vlvpn-12345678901234567890-17.tmp", true, true},  // an older build's decimal tag
      {".vlvpn-1a2b3c-1.tmp", false, false},               // may be a write in progress
      {"auth.txt", true, false},
      {".vlvpn-1a2b3c-.tmp", true, false},
      {".vlvpn-XYZ-1.tmp", true, false},
      {".vlvpn-1-1.tmp.ovpn", true, false},
      {"x.vlvpn-1-1.tmp", true, false},
  };
  for (const Case& c : cases) {
    WriteRaw(temp.path() / c.name, "leftover");
    if (c.old) fs::last_write_time(temp.path() / c.name, fs::file_time_type::clock::now() - 2min);
  }
  fs::create_directory(temp.path() / ".vlvpn-ab-2.tmp");  // a folder is never ours
  std::error_code cannot_on_windows;
  fs::last_write_time(temp.path() / ".vlvpn-ab-2.tmp", fs::file_time_type::clock::now() - 2min, cannot_on_windows);

  EXPECT_EQ(RemoveStaleTemporaryFiles(temp.path(), 60s), 2u);
  for (const Case& c : cases) EXPECT_EQ(fs::exists(temp.path() / c.name), !c.removed) << c.name;
  EXPECT_TRUE(fs::is_directory(temp.path() / ".vlvpn-ab-2.tmp"));
  EXPECT_EQ(RemoveStaleTemporaryFiles(temp.path() / "absent", 60s), 0u);

  const fs::path fresh = TemporarySibling(temp.path() / "auth.txt");
  EXPECT_TRUE(IsTemporaryName(fresh.filename().string())) << fresh;
  EXPECT_LE(fresh.filename().native().size(), 24u);
}

#ifndef _WIN32
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(old_); }

 private:
  mode_t old_;
};

mode_t ModeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

TEST(PrivateFiles, AreTheUsersAloneWhateverTheUmaskAndExistingOnesAreTightened) {
  for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0277}}) {
    SCOPED_TRACE(mask);
    ScopedUmask umask(mask);
    testing::TempFolder temp;
    const fs::path folder = temp.path() / "made" / "ours";
    CreatePrivateFolder(folder);
    EXPECT_EQ(ModeOf(folder), 0700u);
    WriteFileAtomically(folder / "secret", "pw");
    EXPECT_EQ(ModeOf(folder / "secret"), 0600u);
    PreparePrivateFile(folder / "openvpn.log");
    EXPECT_EQ(ModeOf(folder / "openvpn.log"), 0600u);
  }

  testing::TempFolder temp;
  const fs::path folder = temp.path() / "ours";
  fs::create_directory(folder);
  ::chmod(folder.c_str(), 0755);
  CreatePrivateFolder(folder);
  EXPECT_EQ(ModeOf(folder), 0700u);

  const fs::path log = folder / "openvpn.log";
  WriteRaw(log, "old lines\n");
  ::chmod(log.c_str(), 0644);
  PreparePrivateFile(log);
  EXPECT_EQ(ModeOf(log), 0600u);
  EXPECT_EQ(ReadFileBytes(log), "old lines\n") << "contents untouched";

  WriteRaw(folder / "pref", "x");
  ::chmod((folder / "pref").c_str(), 0644);
  WriteFileAtomically(folder / "pref", "y");
  EXPECT_EQ(ModeOf(folder / "pref"), 0600u);

  // A planted link is neither followed nor changed.
  WriteRaw(temp.path() / "elsewhere", "theirs");
  ::chmod((temp.path() / "elsewhere").c_str(), 0644);
  fs::create_symlink(temp.path() / "elsewhere", folder / "linked.log");
  PreparePrivateFile(folder / "linked.log");
  EXPECT_EQ(ModeOf(temp.path() / "elsewhere"), 0644u);

  WriteRaw(temp.path() / "a-file", "");
  EXPECT_THROW(CreatePrivateFolder(temp.path() / "a-file"), fs::filesystem_error);
}
#endif

}  // namespace
}  // namespace vlvpn
