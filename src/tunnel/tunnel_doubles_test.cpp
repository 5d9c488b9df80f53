// The connect flow, disconnect, status and adoption against the fake OpenVPN and the
// fake kill-switch service, run as real processes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "killswitch/fake_service_fixture.h"
#include "support/lines.h"
#include "tunnel/openvpn_lookup.h"
#include "tunnel/openvpn_process.h"
#include "tunnel/tunnel_fixture.h"

namespace vlvpn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using testing::Expectation;
using ::testing::HasSubstr;
using testing::IsState;

using testing::Lines;

class TunnelDoublesTest : public ::testing::Test {
 protected:
  // On Windows the fake runs as a real service, so registration and start go through
  // the service control manager exactly as for the real one.
  void StartService(const std::string& script) {
    service_ =
        std::make_unique<testing::FakeKillSwitch>(script, testing::FakeKillSwitch::Hosting::kSystemService);
    client_ = std::make_shared<KillSwitchClient>(service_->Client());
  }

  TunnelEnvironment Environment() {
    TunnelEnvironment env;
    env.locate_openvpn = [this] { return openvpn_; };
    env.ensure_tap = [](const fs::path&) { return true; };
    auto client = client_;
    const bool system_service = service_->system_service();
    env.launch = [client, system_service](const fs::path& program, const std::string& args) {
      LaunchActions actions = SystemLaunchActions(*client);
      if (!system_service) {
        // The fake's socket stands for the registration; no systemd unit to start.
        actions.service_registered = [] { return true; };
        actions.start_service = [] { return ServiceStart::kFailed; };
      }
      actions.sleep = [](std::chrono::milliseconds) {};
      return LaunchOpenVpn(program, args, actions);
    };
    env.transact = [client](std::string_view command) { return client->Transact(command); };
    env.resolve = [](const std::string&) { return std::vector<std::string>{}; };
    env.find_openvpn_process = FindOpenVpnProcess;
    env.open_process = [](std::uint32_t pid) { return ProcessHandle::Open(pid); };
    env.sample_traffic = [] { return TrafficSampler::Rates{1234.9, 567.2}; };
    env.reset_traffic = [] {};
    env.adapter_up = [] { return true; };
    env.program = "/opt/velunor/VLVPNDesk";
    env.management_port = port_;
    env.management_passes = 30;
    return env;
  }

  void SaveProfile(const std::string& id, const std::string& fake_script) {
    const fs::path folder = root_.path() / "VLVPNDesk" / "profiles" / id;
    fs::create_directories(folder);
    WriteFileAtomically(folder / "server.ovpn", "client\nremote 127.0.0.1 1194\n" + fake_script);
  }

  testing::Settled Connect(Tunnel& tunnel, const std::string& id, const std::string& config = "server.ovpn") {
    Expectation done;
    tunnel.Connect(id, "alice", "secret", config, done.MakePromise());
    return done.Get();
  }
  testing::Settled Disconnect(Tunnel& tunnel) {
    Expectation done;
    tunnel.Disconnect(done.MakePromise());
    return done.Get();
  }
  std::vector<std::string> Recorded() const { return Lines(service_->RecordedText()); }
  // The monitor blocks IPv6 just after it records "connected"; wait for that command.
  void WaitForRecordedCount(std::size_t count) const {
    for (int i = 0; i < 200 && Recorded().size() < count; ++i) std::this_thread::sleep_for(10ms);
  }

  testing::TempFolder root_;
  DataLocations locations_{[this] { return root_.path(); }};
  std::uint16_t port_ = testing::FreePort();
  fs::path openvpn_ = FakeOpenVpnNamedLikeTheRealOne();

  // Adoption falls back to OpenVPN's program name where the listener's owner cannot be
  // read, so the fake carries the real name.
  fs::path FakeOpenVpnNamedLikeTheRealOne() {
    const fs::path renamed = root_.path() / "bin" / OpenVpnFileName();
    fs::create_directories(renamed.parent_path());
    if (!fs::exists(renamed)) fs::copy_file(testing::SiblingProgram("fake-openvpn"), renamed);
    return renamed;
  }
  std::unique_ptr<testing::FakeKillSwitch> service_;
  std::shared_ptr<KillSwitchClient> client_;
};

TEST_F(TunnelDoublesTest, ConnectFollowStatusAndDisconnect) {
  StartService("");
  SaveProfile("p1", "#fake sleep 200\n#fake state CONNECTED SUCCESS\n");
  auto tunnel = Tunnel::Create(locations_, Environment());
  const testing::Settled connected = Connect(*tunnel, "p1");
  ASSERT_TRUE(connected.resolved) << connected.value.dump();
  EXPECT_EQ(connected.value, (Value{{"state", "connecting"}}));

  const Value status =
      testing::WaitForStatus(*tunnel, [](const Value& s) { return IsState(s, "connected"); });
  ASSERT_TRUE(IsState(status, "connected")) << status.dump();
  EXPECT_EQ(status["profileId"], "p1");
  EXPECT_TRUE(status["pid"].is_number_integer());
  EXPECT_EQ(status["downBps"], 1234);
  EXPECT_EQ(status["upBps"], 567);
  EXPECT_EQ(status["adapterUp"], true);
  EXPECT_FALSE(status.contains("message"));
  EXPECT_EQ(ReadFileBytes(locations_.ActiveFile()), "p1");
  EXPECT_EQ(ReadFileBytes(root_.path() / "VLVPNDesk/profiles/p1/auth.txt"), "alice\nsecret\n");

  const auto pid = status["pid"].get<std::uint32_t>();
  const auto process = ProcessHandle::Open(pid);
  WaitForRecordedCount(6);
  EXPECT_EQ(Disconnect(*tunnel).value, (Value{{"state", "disconnected"}}));
  EXPECT_TRUE(process == nullptr || process->WaitForExit(5s)) << "OpenVPN is gone";
  EXPECT_EQ(tunnel->Status(),
            (Value{{"state", "disconnected"}, {"downBps", 0}, {"upBps", 0}, {"adapterUp", false}}));
  EXPECT_FALSE(fs::exists(locations_.ActiveFile()));

  const std::vector<std::string> recorded = Recorded();
  ASSERT_GE(recorded.size(), 9u);
  EXPECT_THAT(std::vector<std::string>(recorded.begin(), recorded.begin() + 4),
              ElementsAre("DISABLE", "BLOCK_IPV6", "PING", "OPENVPN_STOP"));
  EXPECT_THAT(recorded[4], ::testing::StartsWith("OPENVPN_START\t" + PathToUtf8(openvpn_) + "\t--config \""));
  EXPECT_THAT(recorded[4], HasSubstr("--management 127.0.0.1 " + std::to_string(port_)));
  EXPECT_THAT(recorded[4], ::testing::Not(HasSubstr("secret"))) << "the password stays in auth.txt";
  EXPECT_THAT(std::vector<std::string>(recorded.begin() + 5, recorded.end()),
              ElementsAre("BLOCK_IPV6", "OPENVPN_STOP", "UNBLOCK_IPV6", "DISABLE"));
}

// With the kill switch on, every turn of the tunnel's life reaches the service in order:
// connect, the drop of a tunnel still wanted, and the user's disconnect.
TEST_F(TunnelDoublesTest, KillSwitchCommandsThroughATunnelsLife) {
  StartService("");
  SaveProfile("p1", "proto udp\n#fake state CONNECTED SUCCESS\n");
  TunnelEnvironment env = Environment();
  env.resolve = [](const std::string& host) {
    return host == "127.0.0.1" ? std::vector<std::string>{"203.0.113.7", "203.0.113.8"}
                               : std::vector<std::string>{};
  };
  auto tunnel = Tunnel::Create(locations_, env);
  tunnel->kill_switch().enabled = true;
  ASSERT_TRUE(Connect(*tunnel, "p1").resolved);
  ASSERT_TRUE(IsState(testing::WaitForStatus(*tunnel, [](const Value& s) { return IsState(s, "connected"); }),
                      "connected"));
  WaitForRecordedCount(7);
  const std::string enable = "ENABLE udp 1194 1 203.0.113.7,203.0.113.8 /opt/velunor/VLVPNDesk";
  std::vector<std::string> recorded = Recorded();
  ASSERT_EQ(recorded.size(), 7u);
  EXPECT_EQ(recorded[0], "DISABLE");
  EXPECT_EQ(recorded[1], enable);
  EXPECT_EQ(recorded[2], "BLOCK_IPV6");
  EXPECT_EQ(recorded[3], "PING");
  EXPECT_EQ(recorded[4], "OPENVPN_STOP");
  EXPECT_EQ(recorded[6], "BLOCK_IPV6") << "connected";
  EXPECT_EQ(ReadFileBytes(locations_.KillSwitchFile()), "udp\n1194\n203.0.113.7,203.0.113.8");

  // OpenVPN goes away behind our back while the tunnel is wanted: IPv6 is let go and
  // the kill switch holds the traffic.
  client_->Transact("OPENVPN_STOP");
  const Value dropped =
      testing::WaitForStatus(*tunnel, [](const Value& s) { return IsState(s, "disconnected"); });
  ASSERT_TRUE(IsState(dropped, "disconnected"));
  WaitForRecordedCount(10);
  recorded = Recorded();
  ASSERT_GE(recorded.size(), 10u);
  EXPECT_EQ(recorded[8], "UNBLOCK_IPV6");
  EXPECT_EQ(recorded[9], enable);

  EXPECT_EQ(Disconnect(*tunnel).value["state"], "disconnected");
  recorded = Recorded();
  ASSERT_EQ(recorded.size(), 13u);
  EXPECT_EQ(recorded[10], "OPENVPN_STOP");
  EXPECT_EQ(recorded[11], "UNBLOCK_IPV6");
  EXPECT_EQ(recorded[12], "ENABLE udp 1194 0 203.0.113.7,203.0.113.8 /opt/velunor/VLVPNDesk")
      << "the user's disconnect loosens the kill switch";
  EXPECT_FALSE(fs::exists(locations_.KillSwitchFile()));
}

struct FailureCase {
  std::string name;
  std::string service_script;
  std::string fake_script;  // empty: no OpenVPN installed
  std::string message;
  std::string status_message;  // what getStatus reports afterwards ("" when untouched)
};

TEST_F(TunnelDoublesTest, EveryFailureOfTheConnectHasItsMessage) {
  const FailureCase cases[] = {
      {"no OpenVPN", "", "", std::string(kOpenVpnNotFound), ""},
      {"service silent", "PING => <silence>\n", "#fake state CONNECTED\n", std::string(kServiceNotResponding),
       ""},
      {"service error", "OPENVPN_START => ERROR refused\n", "#fake state CONNECTED\n",
       "Kill-switch service could not start OpenVPN (ERROR refused)", ""},
      {"early exit", "",
       "#fake no-management\n#fake log AUTH: Received control message: AUTH_FAILED\n#fake exit 1\n",
       "Authentication failed - check your username and password.",
       "Authentication failed - check your username and password."},
      {"OK 0 and stopped", "OPENVPN_START => OK 0\nOPENVPN_STATUS => STOPPED\n", "#fake state CONNECTED\n",
       std::string(kExitedEarly), std::string(kExitedEarly)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StartService(c.service_script);
    if (c.fake_script.empty()) openvpn_.clear();
    SaveProfile("p1", c.fake_script);
    auto tunnel = Tunnel::Create(locations_, Environment());
    const testing::Settled result = Connect(*tunnel, "p1");
    EXPECT_FALSE(result.resolved);
    EXPECT_EQ(result.value["message"], c.message);
    const Value status = tunnel->Status();
    EXPECT_EQ(status["state"], "disconnected");
    EXPECT_EQ(status.value("message", ""), c.status_message);
    if (c.name == "OK 0 and stopped") {
      EXPECT_EQ(Recorded().back(), "OPENVPN_STOP") << "the service is told to stop what it started";
    }
    Disconnect(*tunnel);
    openvpn_ = FakeOpenVpnNamedLikeTheRealOne();
  }
}

TEST_F(TunnelDoublesTest, MissingConfigurationStopsNothing) {
  StartService("");
  SaveProfile("p1", "#fake state CONNECTED\n");
  fs::create_directories(root_.path() / "VLVPNDesk/profiles/empty");
  auto tunnel = Tunnel::Create(locations_, Environment());
  ASSERT_TRUE(Connect(*tunnel, "p1").resolved);
  ASSERT_TRUE(IsState(testing::WaitForStatus(*tunnel, [](const Value& s) { return IsState(s, "connected"); }),
                      "connected"));
  WaitForRecordedCount(6);  // DISABLE, BLOCK_IPV6, PING, OPENVPN_STOP, OPENVPN_START, BLOCK_IPV6
  const std::size_t before = Recorded().size();
  const testing::Settled missing = Connect(*tunnel, "empty", "nope.ovpn");
  EXPECT_EQ(missing.value["message"], "VPN config not found for profile: empty");
  Expectation bad_password;
  tunnel->Connect("p1", "alice", "two\nlines", "server.ovpn", bad_password.MakePromise());
  EXPECT_EQ(bad_password.Get().value["message"], "The password must not contain a line break.");
  EXPECT_EQ(Recorded().size(), before) << "no command, nothing stopped";
  EXPECT_TRUE(IsState(tunnel->Status(), "connected"));
  Disconnect(*tunnel);
}

TEST_F(TunnelDoublesTest, ManagementThatNeverAnswers) {
  StartService("");
  SaveProfile("p1", "#fake no-management\n");
  auto tunnel = Tunnel::Create(locations_, Environment());
  const testing::Settled result = Connect(*tunnel, "p1");
  // The log's newest line explains it; the fixed text stands in only for an empty log.
  EXPECT_THAT(result.value["message"].get<std::string>(), HasSubstr("OpenVPN 2.6.14 (fake)"));
  EXPECT_EQ(tunnel->Status()["state"], "disconnected");
  Disconnect(*tunnel);
  EXPECT_EQ(client_->Transact("OPENVPN_STATUS"), "STOPPED") << "the disconnect had the service stop it";
}

TEST_F(TunnelDoublesTest, ANewProcessAdoptsTheRunningTunnel) {
  StartService("");
  SaveProfile("p1", "#fake state CONNECTED SUCCESS\n");
  auto first = Tunnel::Create(locations_, Environment());
  ASSERT_TRUE(Connect(*first, "p1").resolved);
  const Value before = testing::WaitForStatus(*first, [](const Value& s) { return IsState(s, "connected"); });
  ASSERT_TRUE(IsState(before, "connected"));

  // The application restarts: its management connection goes, OpenVPN stays.
  first.reset();
  auto second = Tunnel::Create(locations_, Environment());
  const Value adopted = second->Status();
  EXPECT_EQ(adopted["state"], "connected");
  EXPECT_EQ(adopted["profileId"], "p1");
  EXPECT_EQ(adopted["pid"], before["pid"]) << "the process that owns the management port";
  EXPECT_TRUE(second->state().tunnel_wanted.load());
  EXPECT_TRUE(second->state().launched_via_service.load());

  EXPECT_EQ(Disconnect(*second).value["state"], "disconnected");
  EXPECT_EQ(client_->Transact("OPENVPN_STATUS"), "STOPPED");
  EXPECT_FALSE(fs::exists(locations_.ActiveFile()));
}

TEST_F(TunnelDoublesTest, NoAdoptionBesideAConnectNorLater) {
  StartService("");
  SaveProfile("p1", "#fake sleep 300\n#fake state CONNECTED\n");
  auto tunnel = Tunnel::Create(locations_, Environment());
  Expectation done;
  tunnel->Connect("p1", "", "", "server.ovpn", done.MakePromise());
  const Value during = tunnel->Status();  // the connect is counted before its worker runs
  EXPECT_NE(during["state"], "connected");
  EXPECT_TRUE(done.Get().resolved);
  EXPECT_TRUE(IsState(testing::WaitForStatus(*tunnel, [](const Value& s) { return IsState(s, "connected"); }),
                      "connected"));
  Disconnect(*tunnel);
}

TEST_F(TunnelDoublesTest, ALaterConnectSupersedesAnEarlierOne) {
  StartService("");
  SaveProfile("p1", "#fake sleep 300\n#fake state CONNECTED\n");
  SaveProfile("p2", "#fake sleep 300\n#fake state CONNECTED\n");
  auto tunnel = Tunnel::Create(locations_, Environment());
  Expectation first, second;
  tunnel->Connect("p1", "", "", "server.ovpn", first.MakePromise());
  std::this_thread::sleep_for(50ms);
  tunnel->Connect("p2", "", "", "server.ovpn", second.MakePromise());
  const testing::Settled one = first.Get();
  const testing::Settled two = second.Get();
  EXPECT_TRUE(!one.resolved || one.value.value("superseded", false)) << one.value.dump();
  EXPECT_EQ(two.value, (Value{{"state", "connecting"}}));
  const Value status =
      testing::WaitForStatus(*tunnel, [](const Value& s) { return IsState(s, "connected"); });
  EXPECT_EQ(status["profileId"], "p2");
  EXPECT_EQ(client_->Transact("OPENVPN_STATUS"), "RUNNING " + std::to_string(status["pid"].get<int>()))
      << "one OpenVPN left, the newer one";
  Disconnect(*tunnel);
}

// Overlapping connects and disconnects from several threads: every promise settles
// once, and the user's last word (a disconnect) leaves nothing running.
TEST_F(TunnelDoublesTest, ConnectStormEndsConsistently) {
  StartService("");
  SaveProfile("p1", "#fake state CONNECTED\n");
  auto tunnel = Tunnel::Create(locations_, Environment());
  std::vector<std::unique_ptr<Expectation>> calls;
  for (int i = 0; i < 10; ++i) calls.push_back(std::make_unique<Expectation>());
  std::vector<std::thread> threads;
  for (int i = 0; i < 10; ++i) {
    threads.emplace_back([&, i] {
      std::this_thread::sleep_for(std::chrono::milliseconds(15 * i));
      if (i % 3 == 2) {
        tunnel->Disconnect(calls[static_cast<std::size_t>(i)]->MakePromise());
      } else {
        tunnel->Connect("p1", "", "", "server.ovpn", calls[static_cast<std::size_t>(i)]->MakePromise());
      }
    });
  }
  for (auto& t : threads) t.join();
  for (auto& call : calls) EXPECT_NE(call->Get().value, Value("<never settled>"));
  Expectation last;
  tunnel->Disconnect(last.MakePromise());
  EXPECT_TRUE(last.Get().resolved);
  for (auto& call : calls) EXPECT_EQ(call->settlements(), 1);
  EXPECT_EQ(tunnel->Status()["state"], "disconnected");
  EXPECT_EQ(client_->Transact("OPENVPN_STATUS"), "STOPPED") << "no OpenVPN left behind";
  EXPECT_FALSE(TcpSocket::Connect(port_, 200ms).valid()) << "nothing listens on the management port";
}

}  // namespace
}  // namespace vlvpn
