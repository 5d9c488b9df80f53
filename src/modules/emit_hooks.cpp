#include "modules/emit_hooks.h"

namespace vlvpn {

void EmitHooks::SetMenuBarAction(std::function<void(const Value&)> hook) {
  std::lock_guard guard(lock_);
  menu_bar_action_ = std::move(hook);
}
void EmitHooks::SetAppWindowDidShow(std::function<void()> hook) {
  std::lock_guard guard(lock_);
  app_window_did_show_ = std::move(hook);
}
void EmitHooks::SetSystemDidResume(std::function<void()> hook) {
  std::lock_guard guard(lock_);
  system_did_resume_ = std::move(hook);
}

void EmitHooks::EmitMenuBarAction(const Value& payload) const {
  if (auto hook = Copy(menu_bar_action_)) hook(payload);
}
void EmitHooks::EmitAppWindowDidShow() const {
  if (auto hook = Copy(app_window_did_show_)) hook();
}
void EmitHooks::EmitSystemDidResume() const {
  if (auto hook = Copy(system_did_resume_)) hook();
}

Value MenuBarActionPayload(const std::string& action, const std::string& server_id) {
  Value payload = Value::object();
  payload["action"] = action;
  if (!server_id.empty()) payload["serverId"] = server_id;
  return payload;
}

}  // namespace vlvpn
