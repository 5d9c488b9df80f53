#include "modules/velunor_modules.h"

#include <gtest/gtest.h>

#include <random>

#include "common/tcp_socket.h"
#include "common/text.h"
#include "device/device_facts.h"
#include "tunnel/openvpn_lookup.h"
#include "support/settlement.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

namespace fs = std::filesystem;

using testing::CallAndAwait;
using testing::Outcome;

class ModulesTest : public ::testing::Test {
 protected:
  Outcome Tunnel(std::string_view method, const Value& args = Value::array()) {
    return CallAndAwait(*dispatcher_, "VLVPNTunnel", method, args);
  }
  // An environment of the test's own keeps the tunnel off the real service, OpenVPN and
  // management port.
  void UseEnvironment(TunnelEnvironment env) {
    services_ = std::make_shared<ModuleServices>(DataLocations([this] { return root_.path(); }), std::move(env));
    dispatcher_ = std::make_unique<Dispatcher>(BuildModules(services_));
  }

  testing::TempFolder root_;
  std::shared_ptr<ModuleServices> services_ =
      std::make_shared<ModuleServices>(DataLocations([this] { return root_.path(); }));
  std::unique_ptr<Dispatcher> dispatcher_ = std::make_unique<Dispatcher>(BuildModules(services_));
};

// Only the wiring: the store's own tests hold the edge cases.
TEST_F(ModulesTest, KeychainReachesItsStore) {
  const std::string service = "VLVPNModulesTest-" + std::to_string(std::random_device{}());
  const Value item = {service, "acct"};
  EXPECT_TRUE(Tunnel("writeKeychainItem", {service, "acct", "t\xC3\xB6ken"}).resolved);
  EXPECT_EQ(Tunnel("readKeychainItem", item).value, Value("t\xC3\xB6ken"));
  EXPECT_TRUE(Tunnel("deleteKeychainItem", item).resolved);
  EXPECT_EQ(Tunnel("readKeychainItem", item).value, Value(""));
}

TEST_F(ModulesTest, TunnelMethodsReachTheTunnel) {
  std::vector<std::string> sent;
  std::mutex sent_lock;
  TunnelEnvironment env;
  env.locate_openvpn = [] { return fs::path(); };
  env.transact = [&](std::string_view command) {
    std::lock_guard guard(sent_lock);
    sent.emplace_back(command);
    return std::string();
  };
  env.find_openvpn_process = [](std::uint16_t) { return 0u; };
  env.sample_traffic = [] { return TrafficSampler::Rates{}; };
  env.reset_traffic = [] {};
  env.adapter_up = [] { return false; };
  const TcpSocket listener = TcpSocket::Listen(0);
  env.management_port = TcpSocket::Listen(0).LocalPort();
  UseEnvironment(std::move(env));
  EXPECT_EQ(Tunnel("getStatus").value,
            Value::parse(R"({"state":"disconnected","downBps":0,"upBps":0,"adapterUp":false})"));
  EXPECT_EQ(Tunnel("getTrafficStats").value, Value::parse(R"({"downBps":0,"upBps":0})"));
  EXPECT_EQ(Tunnel("prepareKillSwitchForReconnect").value,
            Value::parse(R"({"prepared":false,"reason":"kill_switch_off"})"));
  EXPECT_EQ(Tunnel("setKillSwitchEnabled", {true}).value, Value::parse(R"({"enabled":true})"));
  // Only toward the Windows service does a reconnect open the firewall.
  EXPECT_EQ(Tunnel("prepareKillSwitchForReconnect").value,
            Value::parse(kOpenFirewallToResolve ? R"({"prepared":true,"path":"windows-wfp","mode":"fully_open"})"
                                                : R"({"prepared":true,"path":"linux-nftables","mode":"closed"})"));
  EXPECT_EQ(Tunnel("setBlockIpv6Enabled", {false}).value, Value::parse(R"({"enabled":false})"));
  EXPECT_EQ(Tunnel("connectOvpn", {"p1", "", "", "x.ovpn"}).error["message"], kOpenVpnNotFound);
  EXPECT_EQ(Tunnel("disconnect").value, Value::parse(R"({"state":"disconnected"})"));
  const Outcome latency = Tunnel("measureTcpLatency", {"127.0.0.1", static_cast<int>(listener.LocalPort())});
  ASSERT_TRUE(latency.resolved);
  EXPECT_GE(latency.value->get<int>(), 1);
  std::lock_guard guard(sent_lock);
  std::vector<std::string> expected = {"UNBLOCK_IPV6", "UNBLOCK_IPV6", "ENABLE any 0 0 none "};
  if (kOpenFirewallToResolve) expected.insert(expected.begin(), "DISABLE");
  EXPECT_EQ(sent, expected);
}

// The helper is OpenVPN: found or not by the lookup the tunnel uses.
TEST_F(ModulesTest, HelperMethodsAnswerWithAndWithoutOpenVpn) {
  const fs::path profiles = root_.path() / "VLVPNDesk" / "profiles";
  for (const bool present : {false, true}) {
    const fs::path openvpn = present ? root_.path() / "bin" / OpenVpnFileName() : fs::path();
    TunnelEnvironment env;
    env.locate_openvpn = [openvpn] { return openvpn; };
    UseEnvironment(std::move(env));
    const std::string path = PathToUtf8(openvpn);
    const Outcome ping = Tunnel("pingHelper");
    EXPECT_EQ(present ? ping.value.value_or(Value()) : ping.error["message"],
              present ? "pong" : "OpenVPN not found. Install OpenVPN Community from https://openvpn.net/");
    EXPECT_EQ(
        Tunnel("installHelper").value,
        (Value{{"installed", present},
               {"reachable", present},
               {"pong", present ? "pong" : ""},
               {"hint", present ? path : "OpenVPN not found. Install from https://openvpn.net/community-downloads/"}}));
    EXPECT_EQ(Tunnel("getHelperInfo").value, (Value{{"machService", PathToUtf8(OpenVpnFileName())},
                                                    {"plist", path},
                                                    {"profilesDir", PathToUtf8(profiles)},
                                                    {"installed", present},
                                                    {"reachable", false}}));
    EXPECT_TRUE(fs::is_directory(profiles)) << "made on first use";
  }
}

TEST_F(ModulesTest, TrayMethodsAndEventsWithoutATrayWindow) {
  for (const char* method :
       {"updateMenuBarMenu", "activateApp", "notifyVpnConnectedOnHide", "requestNotificationPermission"}) {
    EXPECT_EQ(Tunnel(method, {false}).value, true) << method;
  }
  EXPECT_EQ(Tunnel("wasLaunchedAtStartup").value, false);
  EXPECT_EQ(Tunnel("getDeviceMarketingName").value, DeviceModel());
  EXPECT_EQ(Tunnel("setMenuBarVisible", {false}).value, false);
  EXPECT_FALSE(services_->desktop.tray->MenuBarVisible());
  EXPECT_EQ(Tunnel("setMenuBarVisible", {true}).value, true);
  EXPECT_TRUE(services_->desktop.tray->MenuBarVisible());
  EXPECT_EQ(Tunnel("promptVpnAuth", {"user", "pass"}).error["message"],
            "Interactive auth prompt not available on Windows");

  // Initialising routes the emit hooks to the slots; the tray's picks go out through them.
  std::vector<std::string> seen;
  TunnelEventSlots slots;
  slots.menu_bar_action = [&](const Value& v) { seen.push_back(v.dump()); };
  slots.app_window_did_show = [&] { seen.push_back("show"); };
  slots.system_did_resume = [&] { seen.push_back("resume"); };
  InitializeTunnelModule(*services_, slots);
  services_->events.EmitMenuBarAction(MenuBarActionPayload("connectDedicated", "s1"));
  services_->events.EmitAppWindowDidShow();
  services_->events.EmitSystemDidResume();
  Tunnel("updateMenuBarMenu", {R"({"dedicated":[{"id":"s \"2\"","label":"Two"}]})"});
  services_->desktop.tray->Choose(3000);
  services_->desktop.tray->Choose(2001);
  InitializeTunnelModule(*services_, {});  // a module without filled slots swallows events
  services_->events.EmitSystemDidResume();
  EXPECT_EQ(seen, (std::vector<std::string>{R"({"action":"connectDedicated","serverId":"s1"})", "show", "resume",
                                            R"({"action":"connectDedicated","serverId":"s \"2\""})",
                                            R"({"action":"quickConnect"})"}));
}

}  // namespace
}  // namespace vlvpn
