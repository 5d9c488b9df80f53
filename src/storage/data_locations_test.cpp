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
using ::testing::ThrowsMessage;

// Windows: the shell's folder, else the environment's. Linux: $XDG_DATA_HOME, else $HOME's.
TEST(DataRoot, FirstAbsoluteChoiceAndNeverARelativeRoot) {
  testing::TempFolder first, second;
  EXPECT_EQ(ChooseBaseFolder(first.path(), second.path()), first.path());
  EXPECT_EQ(ChooseBaseFolder({}, second.path()), second.path());
  EXPECT_EQ(ChooseBaseFolder("relative", second.path()), second.path());
  EXPECT_THROW(ChooseBaseFolder("relative", {}), std::runtime_error);
  EXPECT_THAT([] { ChooseBaseFolder({}, "also-relative"); },
              ThrowsMessage<std::runtime_error>(HasSubstr("local application data folder could not be found")));

  const std::string xdg = PathToUtf8(first.path()), home = PathToUtf8(second.path());
  EXPECT_EQ(XdgDataHome(xdg, home), first.path());
  EXPECT_EQ(XdgDataHome("relative/dir", home), second.path() / ".local" / "share");
  EXPECT_EQ(XdgDataHome("", home), second.path() / ".local" / "share");
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

TEST(DataLocations, LaysOutPrivateFoldersUnderTheRootAndSweepsThemOfCrashLeftovers) {
  testing::TempFolder root;
  const DataLocations at([&] { return root.path(); });
  constexpr fs::perms kShared = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec;
  fs::permissions(root.path(), kShared);
  const fs::path app = root.path() / "VLVPNDesk";
  EXPECT_EQ(at.ProfileFolder("p1"), app / "profiles" / "p1");
  EXPECT_FALSE(fs::exists(app)) << "looking up a profile makes nothing";
  EXPECT_EQ(at.RemoveCrashLeftovers(), 0u) << "nothing written yet";
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

  // Which names and ages count is file_io_test's: here, that every folder is swept.
  fs::create_directories(at.KeychainFolder());
  const fs::path folders[] = {app, app / "prefs", app / "profiles", app / "profiles" / "p1", at.KeychainFolder()};
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

  fs::remove_all(app);
  EXPECT_TRUE(fs::is_directory(at.CreateProfileFolder("p1"))) << "a removed folder is made again";
  fs::remove_all(app);
  std::ofstream(app) << "a file where the folder belongs";
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
