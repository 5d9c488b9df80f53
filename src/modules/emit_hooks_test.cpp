#include "modules/emit_hooks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace vlvpn {
namespace {

class EmitHooksTest : public ::testing::Test {
 protected:
  EmitHooks hooks_;
};

// Events raised before a hook is set are swallowed, not kept for a later hook.
TEST_F(EmitHooksTest, NewestHookReceivesEachEvent) {
  hooks_.EmitMenuBarAction(MenuBarActionPayload("quickConnect", ""));
  hooks_.EmitAppWindowDidShow();
  hooks_.EmitSystemDidResume();
  std::vector<std::string> seen;
  hooks_.SetMenuBarAction([&](const Value& v) { seen.push_back("old " + v.dump()); });
  hooks_.SetMenuBarAction([&](const Value& v) { seen.push_back("new " + v.dump()); });
  hooks_.SetAppWindowDidShow([&] { seen.push_back("show"); });
  hooks_.SetSystemDidResume([&] { seen.push_back("resume"); });
  hooks_.EmitMenuBarAction(MenuBarActionPayload("disconnect", ""));
  hooks_.EmitAppWindowDidShow();
  hooks_.EmitSystemDidResume();
  EXPECT_EQ(seen, (std::vector<std::string>{R"(new {"action":"disconnect"})", "show", "resume"}));
}

TEST_F(EmitHooksTest, PayloadCarriesServerIdOnlyWhenGiven) {
  EXPECT_EQ(MenuBarActionPayload("quickConnect", "").dump(), R"({"action":"quickConnect"})");
  EXPECT_EQ(MenuBarActionPayload("connectDedicated", "srv-9").dump(),
            R"({"action":"connectDedicated","serverId":"srv-9"})");
}

// A hook may call back into the hooks (replacing itself) without deadlocking, and
// emitting while another thread replaces hooks is free of races.
TEST_F(EmitHooksTest, EmittingWhileReplacingIsSafe) {
  std::atomic<int> calls{0};
  hooks_.SetSystemDidResume([&] {
    ++calls;
    hooks_.SetAppWindowDidShow([&calls] { ++calls; });
  });
  std::thread emitter([this] {
    for (int i = 0; i < 2000; ++i) {
      hooks_.EmitSystemDidResume();
      hooks_.EmitAppWindowDidShow();
    }
  });
  for (int i = 0; i < 2000; ++i) {
    hooks_.SetMenuBarAction([&](const Value&) { ++calls; });
  }
  emitter.join();
  EXPECT_GE(calls.load(), 2000);
}

}  // namespace
}  // namespace vlvpn
