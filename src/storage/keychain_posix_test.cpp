#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>

#include "common/file_io.h"
#include "storage/keychain.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

namespace fs = std::filesystem;

TEST(KeychainFiles, OwnerOnlyFilesNamedByTheTargetsBytes) {
  testing::TempFolder root;
  const DataLocations locations([&] { return root.path(); });
  const Keychain keychain(locations);
  ASSERT_EQ(keychain.Write("s/a", "secret"), 0u);
  const fs::path folder = root.path() / "VLVPNKeychain";
  const fs::path item = folder / "732f61";
  EXPECT_EQ(ReadFileBytes(item), "secret");
  struct stat info {};
  ASSERT_EQ(::stat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(item.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  fs::remove_all(root.path() / "VLVPNDesk");
  EXPECT_EQ(keychain.Read("s/a"), "secret") << "items outlive the data folder";
}

TEST(KeychainFiles, WriteFailureReportsTheSystemErrorNumber) {
  testing::TempFolder root;
  const DataLocations locations([&] { return root.path(); });
  std::ofstream(root.path() / "VLVPNKeychain") << "a file where the folder belongs";
  EXPECT_NE(Keychain(locations).Write("s/a", "x"), 0u);
}

}  // namespace
}  // namespace vlvpn
