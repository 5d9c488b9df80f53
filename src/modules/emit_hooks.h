#pragma once

#include <functional>

#include "common/value.h"

namespace vlvpn {

// Process-wide hooks through which code outside the tunnel module (the tray thread,
// activateApp) raises its events. Empty until the module's Initialize fills them;
// an empty hook swallows the event. Setting and emitting are safe from any thread.
namespace emit_hooks {

void SetMenuBarAction(std::function<void(const Value& payload)> hook);
void SetAppWindowDidShow(std::function<void()> hook);
void SetSystemDidResume(std::function<void()> hook);

void EmitMenuBarAction(const Value& payload);
void EmitAppWindowDidShow();
void EmitSystemDidResume();

// "menuBarAction" payload: "action" always, "serverId" only when not empty.
Value MenuBarActionPayload(const std::string& action, const std::string& server_id);

}  // namespace emit_hooks
}  // namespace vlvpn
