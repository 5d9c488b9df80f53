// The tray thread with the real window manager and notification area (Wine under Xvfb).
#include <windows.h>

#include <shellapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "tray/tray.h"

namespace vlvpn {
namespace {

using namespace std::chrono_literals;

template <typename Predicate>
bool Eventually(Predicate predicate) {
  for (auto deadline = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < deadline;) {
    if (predicate()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return predicate();
}

class TrayThread : public ::testing::Test {
 protected:
  TrayThread() {
    TrayEvents events;
    events.menu_action = [this](const MenuAction& action) {
      std::lock_guard guard(lock_);
      actions_.push_back(action);
    };
    events.window_shown = [this] { ++shown_; };
    events.resumed = [this] { ++resumed_; };
    tray_.SetEvents(std::move(events));
    tray_.Ensure();
    EXPECT_TRUE(Eventually([this] { return tray_.IconStatus().shown; }));
    window_ = FindWindowW(L"VLVPNTrayWindow", nullptr);
  }
  ~TrayThread() override {
    for (const HWND hwnd : made_) DestroyWindow(hwnd);
  }

  HWND MakeWindow(const wchar_t* title) {
    const HWND hwnd = CreateWindowExW(0, L"STATIC", title, WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                                      GetModuleHandleW(nullptr), nullptr);
    made_.push_back(hwnd);
    return hwnd;
  }
  // Handled on the tray thread; returns when it is done.
  void Deliver(UINT message, WPARAM wparam = 0, LPARAM lparam = 0) { SendMessageW(window_, message, wparam, lparam); }
  std::vector<MenuAction> Actions() {
    std::lock_guard guard(lock_);
    return actions_;
  }

  TrayPresence tray_{TrayOptions{true, nullptr}};
  HWND window_ = nullptr;
  std::mutex lock_;
  std::vector<MenuAction> actions_;
  std::atomic<int> shown_{0};
  std::atomic<int> resumed_{0};
  std::vector<HWND> made_;
};

TEST_F(TrayThread, IconMenuCommandsShowRequestsAndResume) {
  ASSERT_NE(window_, nullptr);
  EXPECT_EQ(tray_.IconStatus().tooltip, "Velunor VPN - Disconnected");
  tray_.UpdateMenuData(R"({"connected":true,"serverLabel":"Z\u00fcrich"})");
  EXPECT_TRUE(Eventually([this] { return tray_.IconStatus().tooltip == "Velunor VPN - Connected (Z\xC3\xBCrich)"; }));
  EXPECT_EQ(tray_.IconStatus().adds, 1u) << "later changes modify the icon";

  tray_.HiddenToBackground();
  EXPECT_TRUE(Eventually([this] { return tray_.IconStatus().balloon.text == "Protected via Z\xC3\xBCrich."; }));

  tray_.SetMenuBarVisible(false);
  EXPECT_TRUE(Eventually([this] { return !tray_.IconStatus().shown; }));
  tray_.SetMenuBarVisible(true);
  EXPECT_TRUE(Eventually([this] { return tray_.IconStatus().shown && tray_.IconStatus().adds == 2; }));

  // The shell restarted: its icons are gone, and ours is added again.
  NOTIFYICONDATAW gone{};
  gone.cbSize = sizeof(gone);
  gone.hWnd = window_;
  gone.uID = 1;
  ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &gone));
  Deliver(RegisterWindowMessageW(L"TaskbarCreated"));
  EXPECT_EQ(tray_.IconStatus().adds, 3u);
  EXPECT_TRUE(tray_.IconStatus().shown);

  tray_.UpdateMenuData(R"({"dedicated":[{"id":"s1","label":"One"},{"id":"s2"}]})");
  Deliver(WM_COMMAND, 2001);
  Deliver(WM_COMMAND, 3001);
  Deliver(WM_COMMAND, 2002);
  using K = MenuAction::Kind;
  EXPECT_EQ(Actions(),
            (std::vector<MenuAction>{{K::kQuickConnect, ""}, {K::kConnectDedicated, "s2"}, {K::kDisconnect, ""}}));

  // Without a host window nothing is shown, a window of another program with our
  // title least of all.
  const HWND decoy = MakeWindow(L"Velunor VPN");
  Deliver(1069);
  Deliver(WM_COMMAND, 2003);
  EXPECT_FALSE(IsWindowVisible(decoy));
  EXPECT_EQ(shown_, 0);

  const HWND host = MakeWindow(L"host");
  tray_.SetMainWindow(reinterpret_cast<std::intptr_t>(host));
  Deliver(1069);
  EXPECT_TRUE(IsWindowVisible(host));
  EXPECT_EQ(shown_, 1);
  // A double click shows the window; its first click's menu (modal) never opens.
  ShowWindow(host, SW_HIDE);
  Deliver(1066, 0, WM_LBUTTONUP);
  Deliver(1066, 0, WM_LBUTTONDBLCLK);
  EXPECT_TRUE(IsWindowVisible(host));
  EXPECT_EQ(shown_, 2);
  // The tray's own thread would open it once the double-click time is over.
  std::this_thread::sleep_for(std::chrono::milliseconds(GetDoubleClickTime() + 300));
  const HWND menu = FindWindowW(L"#32768", nullptr);
  EXPECT_TRUE(menu == nullptr || !IsWindowVisible(menu)) << "the menu opened under the double click";
  Deliver(WM_CANCELMODE);  // closes one if it did
  EXPECT_TRUE(tray_.ShowMainWindow()) << "activateApp";
  EXPECT_EQ(shown_, 3);

  // A resume that reports both codes is one resume.
  EXPECT_EQ(SendMessageW(window_, WM_POWERBROADCAST, 18, 0), TRUE);
  EXPECT_EQ(SendMessageW(window_, WM_POWERBROADCAST, 7, 0), TRUE);
  EXPECT_EQ(SendMessageW(window_, WM_POWERBROADCAST, 10, 0), TRUE);
  EXPECT_EQ(resumed_, 1);
}

}  // namespace
}  // namespace vlvpn
