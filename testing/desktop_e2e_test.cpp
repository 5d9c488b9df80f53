// The desktop process as a user starts it: one copy per session, the interface bundle
// run beside it over the stdio protocol, and (on Windows) the window and the tray.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "common/file_io.h"
#include "common/process_handle.h"
#include "common/text.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif

namespace vlvpn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class DesktopProcess : public ::testing::Test {
 protected:
  DesktopProcess() {
    fs::create_directories(app_);
    fs::copy_file(testing::SiblingProgram("VLVPNDesk"), desk_);
  }

  // The interface: the stub in node's place beside the executable, making `calls`.
  void InstallBundle(const std::vector<std::string>& calls, const std::string& exit_after) {
    fs::copy_file(testing::SiblingProgram("stub-bundle"), app_ / ("node" + desk_.extension().string()));
    fs::create_directories(app_ / "Bundle");
    std::string bundle = PathToUtf8(record_) + "\n";
    for (const std::string& call : calls) bundle += call + "\n";
    if (!exit_after.empty()) bundle += "exit-after " + exit_after + "\n";
    WriteFileAtomically(app_ / "Bundle" / "index.windows", bundle);
  }

  std::unique_ptr<testing::ChildProcess> StartDesk(std::vector<std::string> args = {}) {
    const testing::ChildProcess::Environment environment = {{"XDG_DATA_HOME", PathToUtf8(data_)},
                                                            {"VLVPN_DATA_ROOT", PathToUtf8(data_)}};
    return std::make_unique<testing::ChildProcess>(desk_, args, environment);
  }

  std::string Record() const { return ReadFileBytes(record_).value_or(""); }
  bool RecordGets(const std::string& text, std::chrono::milliseconds timeout = 15s) const {
    for (auto deadline = std::chrono::steady_clock::now() + timeout; std::chrono::steady_clock::now() < deadline;) {
      if (Contains(Record(), text)) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
  std::uint32_t BundlePid() const {
    const std::string record = Record();
    return record.rfind("pid ", 0) == 0 ? static_cast<std::uint32_t>(std::stoul(record.substr(4))) : 0;
  }

  testing::TempFolder folder_;
  fs::path app_ = folder_.path() / "app";
  fs::path desk_ = app_ / testing::SiblingProgram("VLVPNDesk").filename();
  fs::path data_ = folder_.path() / "data";
  fs::path record_ = folder_.path() / "record.txt";
};

#ifdef _WIN32
HWND WaitForWindow(const wchar_t* window_class) {
  for (int i = 0; i < 1500; ++i) {
    if (const HWND hwnd = FindWindowW(window_class, nullptr)) return hwnd;
    Sleep(10);
  }
  return nullptr;
}

bool BecomesVisible(HWND hwnd) {
  for (int i = 0; i < 500 && !IsWindowVisible(hwnd); ++i) Sleep(10);
  return IsWindowVisible(hwnd) != FALSE;
}
#endif

// Without a bundle the reason is logged; with one, it is served and ends with the process.
TEST_F(DesktopProcess, TheBundleServedBroughtForwardAndEndedWithTheProcess) {
  auto bare = StartDesk();
  const fs::path log = data_ / "VLVPNDesk" / "VLVPNDesk.log";
  for (int i = 0; i < 1000 && !IsRegularFile(log); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(Contains(ReadFileBytes(log).value_or(""), "No interface bundle at")) << PathToUtf8(log);
#ifdef _WIN32
  // The window and the tray work without an interface.
  ASSERT_NE(WaitForWindow(L"VLVPNTrayWindow"), nullptr);
  const HWND bare_host = WaitForWindow(L"VLVPNDeskWindow");
  ASSERT_NE(bare_host, nullptr);
  EXPECT_TRUE(BecomesVisible(bare_host)) << "an ordinary start shows the window";
  // Closing only hides it; the process goes on.
  PostMessageW(bare_host, WM_CLOSE, 0, 0);
  for (int i = 0; i < 500 && IsWindowVisible(bare_host); ++i) Sleep(10);
  EXPECT_FALSE(IsWindowVisible(bare_host));
  EXPECT_FALSE(bare->WaitForExit(300ms).has_value());
  PostMessageW(FindWindowW(L"VLVPNTrayWindow", nullptr), WM_COMMAND, 2004, 0);
  EXPECT_EQ(bare->WaitForExit(20s), 0);
#else
  EXPECT_EQ(bare->WaitForExit(20s), 1);
#endif

  InstallBundle({R"({"id":1,"module":"VLVPNTunnel","method":"wasLaunchedAtStartup","args":[]})",
                 R"({"id":2,"module":"VLVPNTunnel","method":"updateMenuBarMenu","args":["{\"connected\":true}"]})",
                 R"({"id":3,"module":"VLVPNTunnel","method":"getLaunchAtLogin","args":[]})"},
                "appWindowDidShow");
  // Started at login: the switch may sit anywhere in the command line.
  auto desk = StartDesk({"--minimized--startup"});
  ASSERT_TRUE(RecordGets(R"({"hello":{"modules":{"VLVPNTunnel")"));
  ASSERT_TRUE(RecordGets(R"({"id":1,"result":true})")) << Record();
  ASSERT_TRUE(RecordGets(R"({"id":2,"result":true})")) << Record();
  ASSERT_TRUE(RecordGets(R"({"id":3,"result":false})")) << Record();

#ifdef _WIN32
  const HWND host = WaitForWindow(L"VLVPNDeskWindow");
  ASSERT_NE(host, nullptr);
  ASSERT_NE(WaitForWindow(L"VLVPNTrayWindow"), nullptr);
  EXPECT_FALSE(IsWindowVisible(host)) << "started at login: tray only";
  // Another program's window with our title is never the one brought forward.
  const HWND decoy = CreateWindowExW(0, L"STATIC", L"Velunor VPN", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                                     nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(decoy, nullptr);
#endif

  auto second = StartDesk();
  EXPECT_EQ(second->WaitForExit(20s), 0) << "a second copy leaves at once";
  EXPECT_TRUE(RecordGets(R"({"event":"appWindowDidShow"})")) << Record();
  const std::uint32_t bundle_pid = BundlePid();
  ASSERT_NE(bundle_pid, 0u);

#ifdef _WIN32
  EXPECT_TRUE(BecomesVisible(host)) << "the first copy shows its window";
  EXPECT_FALSE(IsWindowVisible(decoy));
  DestroyWindow(decoy);
  // "Exit Velunor VPN": the process ends with 0, and the interface with it.
  PostMessageW(FindWindowW(L"VLVPNTrayWindow", nullptr), WM_COMMAND, 2004, 0);
  EXPECT_EQ(desk->WaitForExit(20s), 0);
  EXPECT_EQ(FindWindowW(L"VLVPNTrayWindow", nullptr), nullptr);
#else
  // Here the interface is the window: when it leaves, so does the process.
  EXPECT_EQ(desk->WaitForExit(20s), 0);
#endif
  const auto bundle = ProcessHandle::Open(bundle_pid);
  EXPECT_TRUE(bundle == nullptr || bundle->WaitForExit(10s)) << "no interface left running";

#ifndef _WIN32
  // Killed outright, the process takes its interface with it all the same.
  fs::remove(record_);
  desk = StartDesk();
  ASSERT_TRUE(RecordGets(R"({"hello")"));
  const auto orphan = ProcessHandle::Open(BundlePid());
  ASSERT_NE(orphan, nullptr);
  desk.reset();
  EXPECT_TRUE(orphan->WaitForExit(10s));
#endif
}

}  // namespace
}  // namespace vlvpn
