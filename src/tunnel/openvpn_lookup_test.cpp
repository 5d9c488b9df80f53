#include "tunnel/openvpn_lookup.h"

#include <gtest/gtest.h>

#include "common/file_io.h"
#include "common/text.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
constexpr const char* kSep = ";";
#else
constexpr const char* kSep = ":";
#endif

class OpenVpnLookupTest : public ::testing::Test {
 protected:
  fs::path Make(const fs::path& path) {
    fs::create_directories(path.parent_path());
    WriteFileAtomically(path, "program");
    return path;
  }
  OpenVpnLookupPlaces Places(std::string search_path = "") const {
    return {root_.path() / "vendor" / "app",
            {root_.path() / "installed" / OpenVpnFileName()},
            std::move(search_path)};
  }

  testing::TempFolder root_;
  const fs::path name_ = OpenVpnFileName();
};

// Each place, made in turn from the last searched to the first, takes over.
TEST_F(OpenVpnLookupTest, FirstRegularFileWins) {
  EXPECT_EQ(FindOpenVpn(Places()), fs::path()) << "not installed";
  const fs::path app = root_.path() / "vendor" / "app";
  fs::create_directories(app / "openvpn" / name_);  // a folder is no program
  EXPECT_EQ(FindOpenVpn(Places()), fs::path());
  fs::remove_all(app / "openvpn");
  for (const fs::path& place : {root_.path() / "installed" / name_, app.parent_path() / name_,
                                app.parent_path() / "openvpn" / name_, app / name_, app / "openvpn" / name_}) {
    // Where the program is named "openvpn", the file gives way to the folder of that name.
    if (fs::is_regular_file(place.parent_path())) fs::remove(place.parent_path());
    Make(place);
    EXPECT_EQ(FindOpenVpn(Places()), place);
  }
}

TEST_F(OpenVpnLookupTest, SearchesOnlyAbsolutePathEntriesNeverTheCurrentFolder) {
  const fs::path in_path = Make(root_.path() / "bin2" / name_);
  Make(root_.path() / "cwd" / name_);
  const fs::path previous = fs::current_path();
  fs::current_path(root_.path() / "cwd");
  const std::string bin1 = PathToUtf8(root_.path() / "bin1");
  const std::string bin2 = PathToUtf8(root_.path() / "bin2");
  EXPECT_EQ(FindOpenVpn(Places(std::string(".") + kSep + kSep + "cwd" + kSep + bin1)), fs::path())
      << "a program planted in the current folder must never be found";
  EXPECT_EQ(FindOpenVpn(Places(bin1 + kSep + bin2)), in_path);
  EXPECT_EQ(FindOpenVpn(Places("\"" + bin2 + "\"")), in_path);
  fs::current_path(previous);
}

TEST(OpenVpnLookupOfThisSystem, LooksBesideTheRunningProgram) {
  const OpenVpnLookupPlaces places = SystemOpenVpnPlaces();
  EXPECT_TRUE(places.exe_dir.is_absolute());
  EXPECT_FALSE(places.installs.empty());
}

}  // namespace
}  // namespace vlvpn
