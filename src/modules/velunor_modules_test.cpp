#include "modules/velunor_modules.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include "common/tcp_socket.h"
#include "common/file_io.h"
#include "common/text.h"
#include "tunnel/openvpn_lookup.h"
#include "support/settlement.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

using testing::CallAndAwait;
using testing::Outcome;

class ModulesTest : public ::testing::Test {
 protected:
  Outcome Call(std::string_view module, std::string_view method, const Value& args = Value::array()) {
    return CallAndAwait(dispatcher_, module, method, args);
  }
  Outcome Tunnel(std::string_view method, Value args = Value::array()) {
    return Call("VLVPNTunnel", method, std::move(args));
  }
  fs::path Profiles() const { return root_.path() / "VLVPNDesk" / "profiles"; }

  testing::TempFolder root_;
  std::shared_ptr<ModuleServices> services_ =
      std::make_shared<ModuleServices>(DataLocations([this] { return root_.path(); }));
  Dispatcher dispatcher_{BuildModules(services_)};
};

TEST_F(ModulesTest, RegistersEveryMethodInOrder) {
  const Value described = dispatcher_.Describe();
  EXPECT_EQ(described["VLVPNTunnel"]["methods"],
            Value::parse(R"(["pingHelper","installHelper","saveOvpnProfile","saveOvpnProfileMeta",
      "listSavedOvpnProfiles","deleteOvpnProfile","saveOvpnAuth","readOvpnAuth","connectOvpn",
      "disconnect","getStatus","getHelperInfo","measureTcpLatency","getTrafficStats",
      "getDeviceMarketingName","promptVpnAuth","setKillSwitchEnabled","prepareKillSwitchForReconnect",
      "setBlockIpv6Enabled","pickApp","pickOvpnFile","terminateApps","setMenuBarVisible",
      "updateMenuBarMenu","activateApp","notifyVpnConnectedOnHide","requestNotificationPermission",
      "setLaunchAtLogin","getLaunchAtLogin","wasLaunchedAtStartup","writeUserDefaults",
      "readUserDefaults","writeKeychainItem","readKeychainItem","deleteKeychainItem"])"));
  EXPECT_EQ(described["VLVPNTunnel"]["events"],
            Value::parse(R"(["menuBarAction","appWindowDidShow","systemDidResume"])"));
  EXPECT_EQ(described["VLVPNAuthSession"]["methods"],
            Value::parse(R"(["beginLoopback","awaitLoopbackCallback","cancelLoopback"])"));
  EXPECT_EQ(described["VLVPNBuildConfig"]["constants"].size(), 6u);
  EXPECT_FALSE(described["VLVPNAuthSession"].contains("events"));
  EXPECT_FALSE(described["VLVPNBuildConfig"].contains("methods"));
}

TEST_F(ModulesTest, PromptVpnAuthAlwaysRejects) {
  const Outcome s = Tunnel("promptVpnAuth", Value::parse(R"(["user", "pass"])"));
  EXPECT_FALSE(s.resolved);
  EXPECT_EQ(
      DumpLine(s.error),
      R"({"code":"EUNSPECIFIED","message":"Interactive auth prompt not available on Windows","userInfo":null})");
}

TEST_F(ModulesTest, EveryMethodTakingAnIdRefusesUnsafeIds) {
  ASSERT_TRUE(Tunnel("saveOvpnProfileMeta", Value::parse(R"(["kept", "{}"])")).resolved);
  const std::pair<std::string, Value> calls[] = {
      {"saveOvpnProfile", Value::parse(R"(["ID", "client", "x.ovpn", ""])")},
      {"saveOvpnProfileMeta", Value::parse(R"(["ID", "{}"])")},
      {"deleteOvpnProfile", Value::parse(R"(["ID"])")},
      {"saveOvpnAuth", Value::parse(R"(["ID", "u", "p"])")},
      {"readOvpnAuth", Value::parse(R"(["ID"])")},
  };
  for (const std::string id : {"", ".", "..", "../..", "a/b", "a\\b", "NUL", "x\ny"}) {
    for (auto [method, args] : calls) {
      args[0] = id;
      const Outcome s = Tunnel(method, args);
      EXPECT_FALSE(s.resolved) << method << " " << id;
      EXPECT_THAT(s.error["message"].get<std::string>(), StartsWith("Invalid profile id: ")) << method;
    }
  }
  // A missing argument reads as the empty id, which is refused too.
  EXPECT_FALSE(Tunnel("deleteOvpnProfile").resolved);
  EXPECT_EQ(Tunnel("listSavedOvpnProfiles").value, Value::parse(R"([{"_raw":"{}"}])"));
  EXPECT_TRUE(fs::exists(root_.path() / "VLVPNDesk" / "profiles"));
}

TEST_F(ModulesTest, CredentialsWithLineBreaksAreRefused) {
  const Outcome s = Tunnel("saveOvpnAuth", Value::parse(R"(["p1", "alice", "pw\nsecond"])"));
  EXPECT_FALSE(s.resolved);
  EXPECT_EQ(s.error["message"], "The password must not contain a line break.");
  EXPECT_FALSE(fs::exists(Profiles() / "p1" / "auth.txt"));
}

TEST_F(ModulesTest, UserDefaultsAndKeychainRoundTrip) {
  EXPECT_TRUE(Tunnel("writeUserDefaults", Value::parse(R"(["theme", "dark"])")).resolved);
  EXPECT_EQ(Tunnel("readUserDefaults", Value::parse(R"(["theme"])")).value, Value("dark"));
  EXPECT_EQ(Tunnel("readUserDefaults", Value::parse(R"([42])")).value, Value(""));
  EXPECT_THAT(Tunnel("writeUserDefaults", Value::parse(R"(["..", "x"])")).error["message"].get<std::string>(),
              StartsWith("Invalid preference key: "));

  const std::string service = "VLVPNModulesTest-" + std::to_string(std::random_device{}());
  const Value item = {service, "acct"};
  EXPECT_EQ(Tunnel("readKeychainItem", item).value, Value(""));
  EXPECT_TRUE(Tunnel("writeKeychainItem", {service, "acct", "t\xC3\xB6ken"}).resolved);
  EXPECT_EQ(Tunnel("readKeychainItem", item).value, Value("t\xC3\xB6ken"));
  EXPECT_TRUE(Tunnel("deleteKeychainItem", item).resolved);
  EXPECT_EQ(Tunnel("readKeychainItem", item).value, Value(""));
  EXPECT_TRUE(Tunnel("deleteKeychainItem", item).resolved);
}

TEST_F(ModulesTest, FailedWritesRejectWithTheErrorText) {
  fs::create_directories(Profiles() / "p1" / "meta.json");
  const Outcome s = Tunnel("saveOvpnProfileMeta", Value::parse(R"(["p1", "{}"])"));
  EXPECT_FALSE(s.resolved);
  EXPECT_THAT(s.error["message"].get<std::string>(), HasSubstr("meta.json"));
}

// The tunnel's methods reach the tunnel; an environment of the test's own keeps them
// off the real service, OpenVPN and management port.
TEST(TunnelMethods, AreWiredToTheTunnel) {
  testing::TempFolder root;
  std::vector<std::string> sent;
  std::mutex sent_lock;
  TunnelEnvironment env;
  env.locate_openvpn = [] { return std::filesystem::path(); };
  env.transact = [&](std::string_view command) {
    std::lock_guard guard(sent_lock);
    sent.emplace_back(command);
    return std::string();
  };
  env.resolve = [](const std::string&) { return std::vector<std::string>{}; };
  env.find_openvpn_process = [](std::uint16_t) { return 0u; };
  env.launch = [](const std::filesystem::path&, const std::string&, std::function<bool()>) { return LaunchOutcome{}; };
  env.open_process = [](std::uint32_t) { return nullptr; };
  env.sample_traffic = [] { return TrafficSampler::Rates{}; };
  env.reset_traffic = [] {};
  env.adapter_up = [] { return false; };
  const TcpSocket listener = TcpSocket::Listen(0);
  env.management_port = TcpSocket::Listen(0).LocalPort();
  auto services = std::make_shared<ModuleServices>(DataLocations([&] { return root.path(); }), env);
  const Dispatcher dispatcher(BuildModules(services));
  const auto call = [&](const std::string& method, const Value& args = Value::array()) {
    return CallAndAwait(dispatcher, "VLVPNTunnel", method, args);
  };
  EXPECT_EQ(call("getStatus").value,
            Value::parse(R"({"state":"disconnected","downBps":0,"upBps":0,"adapterUp":false})"));
  EXPECT_EQ(call("getTrafficStats").value, Value::parse(R"({"downBps":0,"upBps":0})"));
  EXPECT_EQ(call("prepareKillSwitchForReconnect").value,
            Value::parse(R"({"prepared":false,"reason":"kill_switch_off"})"));
  EXPECT_EQ(call("setKillSwitchEnabled", {true}).value, Value::parse(R"({"enabled":true})"));
  // Only toward the Windows service does a reconnect open the firewall.
  EXPECT_EQ(call("prepareKillSwitchForReconnect").value,
            Value::parse(kOpenFirewallToResolve ? R"({"prepared":true,"path":"windows-wfp","mode":"fully_open"})"
                                                : R"({"prepared":true,"path":"linux-nftables","mode":"closed"})"));
  EXPECT_EQ(call("setBlockIpv6Enabled", {false}).value, Value::parse(R"({"enabled":false})"));
  EXPECT_EQ(call("connectOvpn", {"p1", "", "", "x.ovpn"}).error["message"], kOpenVpnNotFound);
  EXPECT_EQ(call("disconnect").value, Value::parse(R"({"state":"disconnected"})"));
  const Outcome latency = call("measureTcpLatency", {"127.0.0.1", static_cast<int>(listener.LocalPort())});
  ASSERT_TRUE(latency.resolved);
  EXPECT_GE(latency.value->get<int>(), 1);
  std::lock_guard guard(sent_lock);
  std::vector<std::string> expected = {"UNBLOCK_IPV6", "UNBLOCK_IPV6", "ENABLE any 0 0 none "};
  if (kOpenFirewallToResolve) expected.insert(expected.begin(), "DISABLE");
  EXPECT_EQ(sent, expected);
}

// The helper is OpenVPN: found or not by the lookup the tunnel uses.
TEST(HelperMethods, AnswerWithAndWithoutOpenVpn) {
  for (const bool present : {false, true}) {
    testing::TempFolder root;
    const fs::path openvpn = root.path() / "bin" / OpenVpnFileName();
    TunnelEnvironment env;
    env.locate_openvpn = [&] { return present ? openvpn : fs::path(); };
    auto services = std::make_shared<ModuleServices>(DataLocations([&] { return root.path(); }), env);
    const Dispatcher dispatcher(BuildModules(services));
    const auto call = [&](const std::string& method) {
      return CallAndAwait(dispatcher, "VLVPNTunnel", method, Value::array());
    };
    const std::string path = PathToUtf8(openvpn);
    if (present) {
      EXPECT_EQ(call("pingHelper").value, "pong");
      EXPECT_EQ(call("installHelper").value,
                (Value{{"installed", true}, {"reachable", true}, {"pong", "pong"}, {"hint", path}}));
    } else {
      EXPECT_EQ(call("pingHelper").error["message"],
                "OpenVPN not found. Install OpenVPN Community from https://openvpn.net/");
      EXPECT_EQ(call("installHelper").value,
                (Value{{"installed", false},
                       {"reachable", false},
                       {"pong", ""},
                       {"hint", "OpenVPN not found. Install from https://openvpn.net/community-downloads/"}}));
    }
    const fs::path profiles = root.path() / "VLVPNDesk" / "profiles";
    EXPECT_EQ(call("getHelperInfo").value, (Value{{"machService", PathToUtf8(OpenVpnFileName())},
                                                  {"plist", present ? path : ""},
                                                  {"profilesDir", PathToUtf8(profiles)},
                                                  {"installed", present},
                                                  {"reachable", false}}));
    EXPECT_TRUE(fs::is_directory(profiles)) << "made on first use";
  }

  // A profiles folder that cannot be made is reported, not lost.
  testing::TempFolder root;
  WriteFileAtomically(root.path() / "VLVPNDesk", "a file where the folder goes");
  TunnelEnvironment env;
  env.locate_openvpn = [] { return fs::path(); };
  auto services = std::make_shared<ModuleServices>(DataLocations([&] { return root.path(); }), env);
  const Dispatcher dispatcher(BuildModules(services));
  const Outcome info = CallAndAwait(dispatcher, "VLVPNTunnel", "getHelperInfo", Value::array());
  EXPECT_FALSE(info.resolved);
  EXPECT_THAT(info.error["message"].get<std::string>(), HasSubstr("VLVPNDesk"));
}

TEST_F(ModulesTest, InitializeRoutesTheEmitHooksToTheSlots) {
  std::vector<std::string> seen;
  TunnelEventSlots slots;
  slots.menu_bar_action = [&](const Value& v) { seen.push_back(v.dump()); };
  slots.app_window_did_show = [&] { seen.push_back("show"); };
  slots.system_did_resume = [&] { seen.push_back("resume"); };
  InitializeTunnelModule(*services_, slots);
  services_->events.EmitMenuBarAction(MenuBarActionPayload("connectDedicated", "s1"));
  services_->events.EmitAppWindowDidShow();
  services_->events.EmitSystemDidResume();
  // The tray's picks go out through the same hooks.
  EXPECT_TRUE(Tunnel("updateMenuBarMenu", {R"({"dedicated":[{"id":"s \"2\"","label":"Two"}]})"}).resolved);
  services_->desktop.tray->Choose(3000);
  services_->desktop.tray->Choose(2001);
  InitializeTunnelModule(*services_, {});  // a module without filled slots swallows events
  services_->events.EmitSystemDidResume();
  EXPECT_EQ(seen, (std::vector<std::string>{R"({"action":"connectDedicated","serverId":"s1"})", "show", "resume",
                                            R"({"action":"connectDedicated","serverId":"s \"2\""})",
                                            R"({"action":"quickConnect"})"}));
}

TEST_F(ModulesTest, TrayAndStartupMethodsAnswerWithoutATrayWindow) {
  const std::pair<std::string, Value> answers[] = {
      {"setMenuBarVisible", false},        {"updateMenuBarMenu", true},  {"activateApp", true},
      {"notifyVpnConnectedOnHide", true}, {"requestNotificationPermission", true}, {"wasLaunchedAtStartup", false},
  };
  for (const auto& [method, value] : answers) {
    const Outcome s = Tunnel(method, {false});
    EXPECT_EQ(s.value, value) << method;
  }
  EXPECT_EQ(Tunnel("setMenuBarVisible", {true}).value, true);
  EXPECT_TRUE(services_->desktop.tray->MenuBarVisible());

  DesktopShell at_login;
  at_login.launched_at_startup = true;
  auto services = std::make_shared<ModuleServices>(DataLocations([this] { return root_.path(); }),
                                                   ModuleServices::DefaultTunnelEnvironment(), at_login);
  const Dispatcher dispatcher(BuildModules(services));
  EXPECT_EQ(CallAndAwait(dispatcher, "VLVPNTunnel", "wasLaunchedAtStartup", Value::array()).value, true);
}

}  // namespace
}  // namespace vlvpn
