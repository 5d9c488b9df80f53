#include "modules/emit_hooks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace vlvpn {
namespace {

class EmitHooksTest : public ::testing::Test {
 protected:
  void TearDown() override {
    emit_hooks::SetMenuBarAction(nullptr);
    emit_hooks::SetAppWindowDidShow(nullptr);
    emit_hooks::SetSystemDidResume(nullptr);
  }
};

// Events raised before a hook is set are swallowed, not kept for a later hook.
TEST_F(EmitHooksTest, NewestHookReceivesEachEvent) {
  emit_hooks::EmitMenuBarAction(emit_hooks::MenuBarActionPayload("quickConnect", ""));
  emit_hooks::EmitAppWindowDidShow();
  emit_hooks::EmitSystemDidResume();
  std::vector<std::string> seen;
  emit_hooks::SetMenuBarAction([&](const Value& v) { seen.push_back("old " + v.dump()); });
  emit_hooks::SetMenuBarAction([&](const Value& v) { seen.push_back("new " + v.dump()); });
  emit_hooks::SetAppWindowDidShow([&] { seen.push_back("show"); });
  emit_hooks::SetSystemDidResume([&] { seen.push_back("resume"); });
  emit_hooks::EmitMenuBarAction(emit_hooks::MenuBarActionPayload("disconnect", ""));
  emit_hooks::EmitAppWindowDidShow();
  emit_hooks::EmitSystemDidResume();
  EXPECT_EQ(seen, (std::vector<std::string>{R"(new {"action":"disconnect"})", "show", "resume"}));
}

TEST_F(EmitHooksTest, PayloadCarriesServerIdOnlyWhenGiven) {
  EXPECT_EQ(emit_hooks::MenuBarActionPayload("quickConnect", "").dump(), R"({"action":"quickConnect"})");
  EXPECT_EQ(emit_hooks::MenuBarActionPayload("connectDedicated", "srv-9").dump(),
            R"({"action":"connectDedicated","serverId":"srv-9"})");
}

// A hook may call back into the hooks (replacing itself) without deadlocking, and
// emitting while another thread replaces hooks is free of races.
TEST_F(EmitHooksTest, EmittingWhileReplacingIsSafe) {
  std::atomic<int> calls{0};
  emit_hooks::SetSystemDidResume([&] {
    ++calls;
    emit_hooks::SetAppWindowDidShow([&] { ++calls; });
  });
  std::thread emitter([] {
    for (int i = 0; i < 2000; ++i) {
      emit_hooks::EmitSystemDidResume();
      emit_hooks::EmitAppWindowDidShow();
    }
  });
  for (int i = 0; i < 2000; ++i) {
    emit_hooks::SetMenuBarAction([&](const Value&) { ++calls; });
  }
  emitter.join();
  EXPECT_GE(calls.load(), 2000);
}

}  // namespace
}  // namespace vlvpn
