#include "modules/emit_hooks.h"

#include <mutex>

namespace vlvpn::emit_hooks {
namespace {

struct Hooks {
  std::mutex lock;
  std::function<void(const Value&)> menu_bar_action;
  std::function<void()> app_window_did_show;
  std::function<void()> system_did_resume;
};

Hooks& Instance() {
  static Hooks hooks;
  return hooks;
}

// Copies the hook under the lock and calls it outside, so a slow listener never
// holds up Initialize or another emitter.
template <typename Fn>
Fn Snapshot(Fn Hooks::*member) {
  Hooks& hooks = Instance();
  std::lock_guard guard(hooks.lock);
  return hooks.*member;
}

template <typename Fn>
void Replace(Fn Hooks::*member, Fn hook) {
  Hooks& hooks = Instance();
  std::lock_guard guard(hooks.lock);
  hooks.*member = std::move(hook);
}

}  // namespace

void SetMenuBarAction(std::function<void(const Value&)> hook) {
  Replace(&Hooks::menu_bar_action, std::move(hook));
}
void SetAppWindowDidShow(std::function<void()> hook) {
  Replace(&Hooks::app_window_did_show, std::move(hook));
}
void SetSystemDidResume(std::function<void()> hook) { Replace(&Hooks::system_did_resume, std::move(hook)); }

void EmitMenuBarAction(const Value& payload) {
  if (auto hook = Snapshot(&Hooks::menu_bar_action)) hook(payload);
}
void EmitAppWindowDidShow() {
  if (auto hook = Snapshot(&Hooks::app_window_did_show)) hook();
}
void EmitSystemDidResume() {
  if (auto hook = Snapshot(&Hooks::system_did_resume)) hook();
}

Value MenuBarActionPayload(const std::string& action, const std::string& server_id) {
  Value payload = Value::object();
  payload["action"] = action;
  if (!server_id.empty()) payload["serverId"] = server_id;
  return payload;
}

}  // namespace vlvpn::emit_hooks
