#include "killswitch/close_apps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>
#include <memory>

#include "common/file_io.h"
#include "common/text.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

#ifdef _WIN32
const std::string kExe = ".exe";
#else
const std::string kExe;
#endif

TEST(CloseApps, NamesMatchByAsciiCaseOnlyAndTheFirstWins) {
  const std::vector<std::string> lowered = {"app.exe", "b\xC3\x9C.exe", "app.exe"};
  EXPECT_EQ(MatchChosenApp("APP.exe", lowered), 0u);
  EXPECT_EQ(MatchChosenApp("b\xC3\x9C.EXE", lowered), 1u);
  EXPECT_EQ(MatchChosenApp("b\xC3\xBC.exe", lowered), std::nullopt) << "no folding outside ASCII";
  EXPECT_EQ(MatchChosenApp("app", lowered), std::nullopt);
  EXPECT_EQ(MatchChosenApp("C:\\x\\app.exe", lowered), std::nullopt);
}

// Copies of a small program under chosen names, running until they are ended.
class RunningCopies : public ::testing::Test {
 protected:
  testing::ChildProcess& Start(const std::string& name) {
    const fs::path copy = folder_.path() / PathFromUtf8(name);
    if (!fs::exists(copy)) fs::copy_file(testing::SiblingProgram("stub-bundle"), copy);
    copies_.push_back(std::make_unique<testing::ChildProcess>(copy, std::vector<std::string>{PathToUtf8(bundle_)},
                                                              testing::ChildProcess::Environment{}));
    return *copies_.back();
  }
  void SetUp() override { WriteFileAtomically(bundle_, PathToUtf8(folder_.path() / "record") + "\n"); }

  testing::TempFolder folder_;
  fs::path bundle_ = folder_.path() / "bundle";
  std::vector<std::unique_ptr<testing::ChildProcess>> copies_;
};

TEST_F(RunningCopies, ChosenProgramsEndAndAreListedAsTheSystemSpellsThem) {
  const std::string one = "vlvpn-Dummy-One" + kExe, two = "vlvpn-dummy-two" + kExe,
                    accented = "vlvpn-d\xC3\xBCmmy" + kExe, spared = "vlvpn-dummy-spared" + kExe;
  auto& first = Start(one);
  auto& second = Start(two);
  auto& third = Start(two);
  auto& fourth = Start(accented);
  auto& fifth = Start(spared);
  std::this_thread::sleep_for(200ms);  // started for real

  std::vector<std::string> closed = TerminateApps(
      {"VLVPN-DUMMY-ONE" + kExe, PathToUtf8(folder_.path() / PathFromUtf8(two)), "vlvpn-D\xC3\x9CMMY" + kExe,
       two.substr(0, two.size() - 4)},
      {});
  EXPECT_EQ(closed, std::vector<std::string>{one}) << "a path, another case outside ASCII, no extension: no match";
  EXPECT_TRUE(first.WaitForExit(10s).has_value());
  EXPECT_FALSE(second.WaitForExit(100ms).has_value());

  closed = TerminateApps({two, accented, spared}, {});
  std::sort(closed.begin(), closed.end());
  EXPECT_EQ(closed, (std::vector<std::string>{spared, two, two, accented}));
  for (auto* copy : {&second, &third, &fourth, &fifth}) EXPECT_TRUE(copy->WaitForExit(10s).has_value());

  // The name is checked again on the process itself just before it is ended: a pid that
  // now belongs to another program is not hit.
  auto& other = Start(one);
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(EndProcess(static_cast<std::uint32_t>(other.pid()), two));
  EXPECT_FALSE(other.WaitForExit(100ms).has_value());
  EXPECT_TRUE(EndProcess(static_cast<std::uint32_t>(other.pid()), one));
  EXPECT_TRUE(other.WaitForExit(10s).has_value());

  // The interface we serve is never closed for it.
  auto& interface = Start(spared);
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(TerminateApps({spared}, {interface.pid()}).empty());
  EXPECT_FALSE(interface.WaitForExit(100ms).has_value());
}

}  // namespace
}  // namespace vlvpn
