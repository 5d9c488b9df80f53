#include "tray/tray.h"

namespace vlvpn {

bool ResumeFilter::Accept(std::chrono::steady_clock::time_point now) {
  if (last_ && now - *last_ < quiet_) return false;
  last_ = now;
  return true;
}

std::optional<MenuAction> TrayPresence::Shared::Choose(unsigned command, const TrayMenuModel& menu) const {
  auto action = ActionForCommand(command, menu);
  if (!action || action->kind == MenuAction::Kind::kExit) return action;
  if (const TrayEvents copy = Events(); copy.menu_action) copy.menu_action(*action);
  if (action->kind == MenuAction::Kind::kOpenApp) ShowMainWindow();
  return action;
}

bool TrayPresence::Shared::ShowMainWindow() const {
  std::intptr_t window = 0;
  {
    std::lock_guard guard(lock);
    window = main_window;
  }
  if (window == 0 || !ShowHostWindow(window)) return false;
  const TrayEvents copy = Events();
  if (copy.window_shown) copy.window_shown();
  return true;
}

TrayPresence::TrayPresence(TrayOptions options) : shared_(std::make_shared<Shared>(std::move(options))) {
  if (shared_->options.icon) icon_ = std::make_unique<TrayIcon>(shared_);
}

TrayPresence::~TrayPresence() = default;

void TrayPresence::SetEvents(TrayEvents events) {
  std::lock_guard guard(shared_->lock);
  shared_->events = std::move(events);
}

void TrayPresence::SetMainWindow(std::intptr_t window) {
  std::lock_guard guard(shared_->lock);
  shared_->main_window = window;
}

void TrayPresence::SetMenuBarVisible(bool visible) {
  {
    std::lock_guard guard(shared_->lock);
    shared_->menu_bar_visible = visible;
  }
  Ensure();
}

void TrayPresence::UpdateMenuData(std::string_view data) {
  TrayMenuModel model = ParseMenuData(data);
  {
    std::lock_guard guard(shared_->lock);
    shared_->model = std::move(model);
  }
  Ensure();
}

void TrayPresence::Ensure() {
  if (icon_) icon_->Ensure();
}

bool TrayPresence::ShowMainWindow() { return shared_->ShowMainWindow(); }

void TrayPresence::HiddenToBackground() {
  bool connected = false;
  {
    std::lock_guard guard(shared_->lock);
    shared_->notice = NoticeFor(shared_->model);
    connected = shared_->model.connected;
  }
  Ensure();
  if (connected && icon_) icon_->PostNotice();
}

std::optional<MenuAction> TrayPresence::Choose(unsigned command) { return shared_->Choose(command, Model()); }

TrayMenuModel TrayPresence::Model() const { return shared_->Model(); }

bool TrayPresence::MenuBarVisible() const {
  std::lock_guard guard(shared_->lock);
  return shared_->menu_bar_visible;
}

TrayIconStatus TrayPresence::IconStatus() const {
  std::lock_guard guard(shared_->lock);
  return shared_->status;
}

}  // namespace vlvpn
