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
  EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(item).permissions(), fs::perms::owner_read | fs::perms::owner_write);

  fs::remove_all(root.path() / "VLVPNDesk");
  EXPECT_EQ(keychain.Read("s/a"), "secret") << "items outlive the data folder";

  fs::remove_all(folder);
  std::ofstream(folder) << "a file where the folder belongs";
  EXPECT_NE(keychain.Write("s/a", "x"), 0u) << "a write failure reports the system's error number";
}

}  // namespace
}  // namespace vlvpn
