#include "modules/emit_hooks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace vlvpn {
namespace {

// Events raised before a hook is set are swallowed, not kept for a later hook. A hook
// may call back into the hooks (replacing itself) without deadlocking, and emitting
// while another thread replaces hooks is free of races.
TEST(EmitHooks, EmittingWhileReplacingIsSafe) {
  EmitHooks hooks;
  hooks.EmitMenuBarAction(MenuBarActionPayload("quickConnect", ""));
  hooks.EmitAppWindowDidShow();
  hooks.EmitSystemDidResume();
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
  EXPECT_EQ(calls.load(), 4000);
}

}  // namespace
}  // namespace vlvpn
