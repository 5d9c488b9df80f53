#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "common/value.h"

namespace vlvpn {

// The hooks through which code outside the tunnel module (the tray thread,
// activateApp) raises the tunnel module's events. One set per host, handed to whoever
// raises events; empty until the module's initialiser fills them, and an empty hook
// swallows the event. Setting and emitting are safe from any thread.
class EmitHooks {
 public:
  void SetMenuBarAction(std::function<void(const Value& payload)> hook);
  void SetAppWindowDidShow(std::function<void()> hook);
  void SetSystemDidResume(std::function<void()> hook);

  void EmitMenuBarAction(const Value& payload) const;
  void EmitAppWindowDidShow() const;
  void EmitSystemDidResume() const;

 private:
  // Copies the hook under the lock and calls it outside, so a slow listener never
  // holds up the initialiser or another emitter.
  template <typename Fn>
  Fn Copy(const Fn& hook) const {
    std::lock_guard guard(lock_);
    return hook;
  }

  mutable std::mutex lock_;
  std::function<void(const Value&)> menu_bar_action_;
  std::function<void()> app_window_did_show_;
  std::function<void()> system_did_resume_;
};

// "menuBarAction" payload: "action" always, "serverId" only when not empty.
Value MenuBarActionPayload(const std::string& action, const std::string& server_id);

}  // namespace vlvpn
