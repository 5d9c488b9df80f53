#include "modules/emit_hooks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace vlvpn {
namespace {

// Events raised before a hook is set are swallowed, not kept for a later hook.
TEST(EmitHooks, NewestHookReceivesEachEvent) {
  EmitHooks hooks;
  hooks.EmitMenuBarAction(MenuBarActionPayload("quickConnect", ""));
  hooks.EmitAppWindowDidShow();
  hooks.EmitSystemDidResume();
  std::vector<std::string> seen;
  hooks.SetMenuBarAction([&](const Value& v) { seen.push_back("old " + v.dump()); });
  hooks.SetMenuBarAction([&](const Value& v) { seen.push_back("new " + v.dump()); });
  hooks.SetAppWindowDidShow([&] { seen.push_back("show"); });
  hooks.SetSystemDidResume([&] { seen.push_back("resume"); });
  hooks.EmitMenuBarAction(MenuBarActionPayload("disconnect", ""));
  hooks.EmitAppWindowDidShow();
  hooks.EmitSystemDidResume();
  EXPECT_EQ(seen, (std::vector<std::string>{R"(new {"action":"disconnect"})", "show", "resume"}));
}

// A hook may call back into the hooks (replacing itself) without deadlocking, and
// emitting while another thread replaces hooks is free of races.
TEST(EmitHooks, EmittingWhileReplacingIsSafe) {
  EmitHooks hooks;
  std::atomic<int> calls{0};
  hooks.SetSystemDidResume([&] {
    ++calls;
    hooks.SetAppWindowDidShow([&calls] { ++calls; });
  });
  std::thread emitter([&hooks] {
    for (int i = 0; i < 2000; ++i) {
      hooks.EmitSystemDidResume();
      hooks.EmitAppWindowDidShow();
    }
  });
  for (int i = 0; i < 2000; ++i) {
    hooks.SetMenuBarAction([&](const Value&) { ++calls; });
  }
  emitter.join();
  EXPECT_GE(calls.load(), 2000);
}

}  // namespace
}  // namespace vlvpn
