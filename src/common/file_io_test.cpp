#include "common/file_io.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/temp_folder.h"

namespace vlvpn {
namespace {

namespace fs = std::filesystem;

std::size_t EntriesIn(const fs::path& folder) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

TEST(WriteFileAtomically, WritesExactBytesAndReplacesWholeFile) {
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
  EXPECT_EQ(fs::file_size(file), second.size());
  EXPECT_EQ(EntriesIn(temp.path()), 1u) << "no temporary file may stay behind";
}

TEST(WriteFileAtomically, FailureThrowsWithPathAndLeavesTargetUntouched) {
  testing::TempFolder temp;
  const fs::path missing_folder = temp.path() / "missing" / "file.txt";
  try {
    WriteFileAtomically(missing_folder, "data");
    FAIL() << "expected a write error";
  } catch (const FileWriteError& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("file.txt"));
    EXPECT_NE(e.error(), 0u);
  }

  const fs::path folder_in_the_way = temp.path() / "taken";
  fs::create_directory(folder_in_the_way);
  fs::create_directory(folder_in_the_way / "child");
  EXPECT_THROW(WriteFileAtomically(folder_in_the_way, "data"), FileWriteError);
  EXPECT_TRUE(fs::is_directory(folder_in_the_way / "child"));
  EXPECT_EQ(EntriesIn(temp.path()), 1u) << "the failed temporary file is removed";
}

TEST(ReadFileBytes, ReadsBinaryAndReportsMissingFiles) {
  testing::TempFolder temp;
  EXPECT_EQ(ReadFileBytes(temp.path() / "absent"), std::nullopt);
  const std::string bytes("pre\x1A\r\npost", 10);
  WriteFileAtomically(temp.path() / "f", bytes);
  EXPECT_EQ(ReadFileBytes(temp.path() / "f"), bytes);
}

#ifndef _WIN32
TEST(WriteFileAtomically, OwnerOnlyFilesAreNotReadableByOthers) {
  testing::TempFolder temp;
  WriteFileAtomically(temp.path() / "secret", "pw", FileAccess::kOwnerOnly);
  const auto perms = fs::status(temp.path() / "secret").permissions();
  EXPECT_EQ(perms & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);
}
#endif

}  // namespace
}  // namespace vlvpn
