#include "storage/data_locations.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "common/text.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

TEST(ChooseBaseFolder, PrefersShellThenEnvironmentAndNeverARelativeRoot) {
  testing::TempFolder shell, env;
  EXPECT_EQ(ChooseBaseFolder(shell.path(), env.path()), shell.path());
  EXPECT_EQ(ChooseBaseFolder({}, env.path()), env.path());
  EXPECT_EQ(ChooseBaseFolder("relative", env.path()), env.path());
  EXPECT_THROW(ChooseBaseFolder("relative", {}), std::runtime_error);
  try {
    ChooseBaseFolder({}, "also-relative");
    FAIL() << "expected no data root";
  } catch (const std::runtime_error& error) {
    EXPECT_THAT(error.what(), HasSubstr("local application data folder could not be found"));
  }
}

TEST(XdgDataHome, UsesAbsoluteXdgElseHome) {
  testing::TempFolder xdg, home;
  const std::string xdg_text = PathToUtf8(xdg.path()), home_text = PathToUtf8(home.path());
  EXPECT_EQ(XdgDataHome(xdg_text, home_text), xdg.path());
  EXPECT_EQ(XdgDataHome("relative/dir", home_text), home.path() / ".local" / "share");
  EXPECT_EQ(XdgDataHome("", home_text), home.path() / ".local" / "share");
  EXPECT_THROW(XdgDataHome("", ""), std::runtime_error);
  EXPECT_THROW(XdgDataHome("", "relative-home"), std::runtime_error);
}

TEST(RedirectForPackage, UsesThePackageCacheFolderWhenItCanBeMade) {
  testing::TempFolder base;
  int made = 0;
  const auto make = [&](const fs::path& p) { ++made, fs::create_directories(p); };
  EXPECT_EQ(RedirectForPackage(base.path(), std::nullopt, make), base.path());
  EXPECT_EQ(made, 0);

  const fs::path packaged = RedirectForPackage(base.path(), "Velunor.VPN_8wekyb3d8bbwe", make);
  EXPECT_EQ(packaged, base.path() / "Packages" / "Velunor.VPN_8wekyb3d8bbwe" / "LocalCache" / "Local");
  EXPECT_TRUE(fs::is_directory(packaged));

  const auto cannot_make = [](const fs::path&) {};
  EXPECT_EQ(RedirectForPackage(base.path(), "Other.App_1", cannot_make), base.path());
}

TEST(DataLocations, LaysOutFoldersAndFilesUnderTheRoot) {
  testing::TempFolder root;
  const DataLocations at([&] { return root.path(); });
  constexpr fs::perms kShared = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec;
  fs::permissions(root.path(), kShared);
  const fs::path app = root.path() / "VLVPNDesk";
  EXPECT_EQ(at.ProfileFolder("p1"), app / "profiles" / "p1");
  EXPECT_FALSE(fs::exists(app)) << "looking up a profile makes nothing";
  EXPECT_EQ(at.CreateProfileFolder("p1"), app / "profiles" / "p1");
  EXPECT_EQ(at.PrefsFolder(), app / "prefs");
  EXPECT_EQ(at.ActiveFile(), app / "active.txt");
  EXPECT_EQ(at.KillSwitchFile(), app / "killswitch.txt");
  for (const fs::path& folder : {app, app / "profiles", app / "profiles" / "p1", app / "prefs"}) {
    EXPECT_TRUE(fs::is_directory(folder)) << folder;
#ifndef _WIN32
    EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all) << folder << " is the user's alone";
#endif
  }
#ifndef _WIN32
  EXPECT_EQ(fs::status(root.path()).permissions(), kShared) << "the folder above ours is not ours to change";
#endif

  fs::remove_all(app);
  EXPECT_TRUE(fs::is_directory(at.CreateProfileFolder("p1"))) << "a removed folder is made again";
}

// Which names and ages count is file_io_test's: here, that every folder is swept.
TEST(DataLocations, CrashLeftoversAreRemovedFromEveryFolderWeWrite) {
  testing::TempFolder root;
  const DataLocations at([&] { return root.path(); });
  EXPECT_EQ(at.RemoveCrashLeftovers(), 0u) << "nothing written yet";
  const fs::path profile = at.CreateProfileFolder("p1");
  fs::create_directories(at.KeychainFolder());
  const fs::path folders[] = {at.AppFolder(), at.PrefsFolder(), at.ProfilesFolder(), profile, at.KeychainFolder()};
  const auto old = fs::file_time_type::clock::now() - std::chrono::minutes(5);
  for (const fs::path& folder : folders) {
    std::ofstream(folder / ".vlvpn-5eed-1.tmp") << "half a write";
    fs::last_write_time(folder / ".vlvpn-5eed-1.tmp", old);
    std::ofstream(folder / ".vlvpn-5eed-2.tmp") << "a write under way";
  }
  EXPECT_EQ(at.RemoveCrashLeftovers(), std::size(folders));
  for (const fs::path& folder : folders) {
    EXPECT_FALSE(fs::exists(folder / ".vlvpn-5eed-1.tmp")) << folder;
    EXPECT_TRUE(fs::exists(folder / ".vlvpn-5eed-2.tmp")) << folder;
  }
}

TEST(DataLocations, FolderThatCannotBeMadeRaisesTheFilesystemError) {
  testing::TempFolder root;
  const DataLocations at([&] { return root.path(); });
  std::ofstream(root.path() / "VLVPNDesk") << "a file where the folder belongs";
  EXPECT_THROW(at.ProfilesFolder(), fs::filesystem_error);
  EXPECT_THROW(at.PrefFilePath("theme"), fs::filesystem_error);
}

TEST(SystemDataRoot, IsAnAbsoluteFolderOfThisUser) {
  const fs::path root = SystemDataRoot();
  EXPECT_TRUE(root.is_absolute()) << PathToUtf8(root);
  EXPECT_FALSE(root.relative_path().empty()) << "never a drive's root";
}

}  // namespace
}  // namespace vlvpn
