#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "tray/menu_model.h"

namespace vlvpn {

// What the tray tells its owner: menu picks for the interface, the host window shown
// again, the machine back from sleep.
struct TrayEvents {
  std::function<void(const MenuAction&)> menu_action;
  std::function<void()> window_shown;
  std::function<void()> resumed;
};

struct TrayOptions {
  // A notification-area icon on a thread of its own (the Windows desktop process).
  // Without it the tray keeps its model only, as on a system without a tray.
  bool icon = false;
  // "Exit Velunor VPN": flush what is pending and end the process with 0. Called on the
  // tray thread after the icon is gone.
  std::function<void()> exit_process;
};

// What the icon's thread last did, for tests and diagnostics.
struct TrayIconStatus {
  bool window = false;  // the hidden tray window exists
  bool shown = false;   // the icon is in the notification area
  unsigned adds = 0;    // successful additions (a shell restart adds again)
  std::string tooltip;
  TrayNotice balloon;  // the last balloon shown
};

// A machine resuming may report both resume codes; the interface hears of it once.
class ResumeFilter {
 public:
  explicit ResumeFilter(std::chrono::steady_clock::duration quiet = std::chrono::seconds(5)) : quiet_(quiet) {}
  bool Accept(std::chrono::steady_clock::time_point now);

 private:
  std::chrono::steady_clock::duration quiet_;
  std::optional<std::chrono::steady_clock::time_point> last_;
};

class TrayIcon;

// The tray presence: the menu model the interface feeds, the notice, the visibility
// switch, and (with an icon) the thread that owns the tray window and the icon. Safe
// to use from any thread; the icon thread is joined when the object goes.
class TrayPresence {
 public:
  explicit TrayPresence(TrayOptions options);
  TrayPresence(const TrayPresence&) = delete;
  TrayPresence& operator=(const TrayPresence&) = delete;
  ~TrayPresence();

  void SetEvents(TrayEvents events);
  // The host window that "show" brings forward (an HWND on Windows); 0 for none.
  void SetMainWindow(std::intptr_t window);

  void SetMenuBarVisible(bool visible);
  void UpdateMenuData(std::string_view data);
  // Starts the icon's thread the first time; afterwards asks it to refresh the icon.
  void Ensure();
  // Shows and brings forward the host window; raises window_shown. False when there is
  // no host window.
  bool ShowMainWindow();
  // The window was hidden: remember the "still connected" notice and show it.
  void HiddenToBackground();
  // What a menu command does, as if picked from the menu: raises the interface's
  // action, shows the window for "Open". Returns the action (kExit is left to the caller).
  std::optional<MenuAction> Choose(unsigned command);

  TrayMenuModel Model() const;
  bool MenuBarVisible() const;
  TrayIconStatus IconStatus() const;

  // For the icon's thread.
  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
  std::unique_ptr<TrayIcon> icon_;
};

struct TrayPresence::Shared {
  explicit Shared(TrayOptions tray_options) : options(std::move(tray_options)) {}

  TrayOptions options;
  mutable std::mutex lock;
  TrayMenuModel model;
  bool menu_bar_visible = true;
  TrayNotice notice;
  TrayEvents events;
  std::intptr_t main_window = 0;
  TrayIconStatus status;

  TrayEvents Events() const {
    std::lock_guard guard(lock);
    return events;
  }
  TrayMenuModel Model() const {
    std::lock_guard guard(lock);
    return model;
  }
  std::optional<MenuAction> Choose(unsigned command, const TrayMenuModel& model) const;
  bool ShowMainWindow() const;
};

// The platform's icon thread (Windows); elsewhere it does nothing.
class TrayIcon {
 public:
  explicit TrayIcon(std::shared_ptr<TrayPresence::Shared> shared);
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;
  ~TrayIcon();

  void Ensure();
  void PostNotice();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Brings the given host window forward; false when it is not a live window.
bool ShowHostWindow(std::intptr_t window);

}  // namespace vlvpn
