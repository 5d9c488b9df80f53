#include "startup/launch_at_login.h"

#include <gtest/gtest.h>

namespace vlvpn {
namespace {

TEST(LaunchAtLogin, CommandLineSwitchAndStoredTexts) {
  EXPECT_TRUE(CommandLineAsksForStartup("VLVPNDesk.exe --startup"));
  EXPECT_TRUE(CommandLineAsksForStartup("x--startupy"));
  EXPECT_FALSE(CommandLineAsksForStartup("VLVPNDesk.exe --Startup"));
  EXPECT_FALSE(CommandLineAsksForStartup(""));

  EXPECT_EQ(RunValueData(R"(C:\Program Files\Velunor VPN\VLVPNDesk.exe)"),
            R"("C:\Program Files\Velunor VPN\VLVPNDesk.exe" --startup)");
  const std::string entry = AutostartEntry("/opt/Velunor VPN/a\"b$c%d\\e`f");
  EXPECT_NE(entry.find("Exec=\"/opt/Velunor VPN/a\\\\\"b\\\\$c%%d\\\\\\\\e\\\\`f\" --startup\n"), std::string::npos)
      << entry;
  EXPECT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u);
}

class FakeEntry : public LoginEntry {
 public:
  void Write(bool enabled) override {
    if (!locked) present = enabled;
  }
  bool Present() override { return present; }
  bool present = false;
  bool locked = false;
};

class FakeTask : public StartupTask {
 public:
  std::optional<int> State() override { return failing ? std::nullopt : std::optional<int>(state); }
  std::optional<int> RequestEnable() override {
    if (failing) return std::nullopt;
    if (!user_disabled) state = 2;
    return state;
  }
  bool Disable() override {
    if (!failing) state = 1;
    return !failing;
  }
  int state = 1;
  bool user_disabled = false;
  bool failing = false;
};

TEST(LaunchAtLogin, EntryAndPackagedTaskDecisions) {
  // Without a task the entry decides: writing and removing it is stdio_host_e2e_test's.
  FakeEntry entry;
  entry.locked = true;
  EXPECT_FALSE(SetLaunchAtLogin(true, nullptr, entry)) << "a write that failed reports what is stored";
  entry.locked = false;

  FakeTask task;
  EXPECT_TRUE(SetLaunchAtLogin(true, &task, entry));
  EXPECT_TRUE(GetLaunchAtLogin(&task, entry));
  EXPECT_FALSE(entry.present) << "packaged: the Run value is not touched";
  task.state = 4;
  EXPECT_TRUE(GetLaunchAtLogin(&task, entry)) << "enabled by policy";
  EXPECT_TRUE(SetLaunchAtLogin(false, &task, entry));
  task.user_disabled = true;
  EXPECT_FALSE(SetLaunchAtLogin(true, &task, entry)) << "switched off by the user in the system's settings";
  EXPECT_FALSE(entry.present);

  task.failing = true;  // the platform fails: the entry decides
  EXPECT_TRUE(SetLaunchAtLogin(true, &task, entry));
  EXPECT_TRUE(entry.present);
  EXPECT_TRUE(GetLaunchAtLogin(&task, entry));
}

}  // namespace
}  // namespace vlvpn
