// The connect flow, disconnect, status and adoption against the fake OpenVPN and the
// fake kill-switch service, run as real processes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "support/fake_service_fixture.h"
#include "support/lines.h"
#include "support/tunnel_fixture.h"
#include "tunnel/openvpn_lookup.h"
#ifndef _WIN32
#include <signal.h>

#include "killswitch/elevation_posix.h"
#endif
#include "tunnel/openvpn_process.h"

namespace vlvpn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Outcome = ConnectResult::Outcome;
using testing::Awaited;
using testing::Lines;
using testing::WaitForState;

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
    env.launch = [client, system_service](const fs::path& program, const std::string& args,
                                          std::function<bool()> cancelled) {
      LaunchActions actions = SystemLaunchActions(*client);
      if (!system_service) {
        // The fake's socket stands for the registration; no systemd unit to start.
        actions.service_registered = [] { return true; };
        actions.start_service = [] { return ServiceStart::kFailed; };
      }
      actions.sleep = [](std::chrono::milliseconds) {};
      actions.cancelled = std::move(cancelled);
      return LaunchOpenVpn(program, args, actions);
    };
    env.transact = [client](std::string_view command) { return client->Transact(command); };
    env.resolve = [](const std::string&) { return std::vector<std::string>{}; };
    env.find_openvpn_process = FindAdoptableOpenVpn;
    env.open_process = [](std::uint32_t pid) { return ProcessHandle::Open(pid); };
    env.sample_traffic = [] { return TrafficSampler::Rates{1234.9, 567.2}; };
    env.reset_traffic = [] {};
    env.adapter_up = [] { return true; };
    env.program = "/opt/velunor/VLVPNDesk";
    env.management_port = port_;
    env.management_wait = 3000ms;
    env.resolve_retry = 1ms;
    return env;
  }

  void SaveProfile(const std::string& id, const std::string& fake_script,
                   const std::string& remote = "127.0.0.1") {
    const fs::path folder = root_.path() / "VLVPNDesk" / "profiles" / id;
    fs::create_directories(folder);
    WriteFileAtomically(folder / "server.ovpn", "client\nremote " + remote + " 1194\n" + fake_script);
  }

  static void SetKillSwitch(Tunnel& tunnel, bool on) {
    Awaited<bool> done;
    tunnel.SetKillSwitchEnabled(on, [callback = done.Callback()] { callback(true); });
    done.Await(on ? "kill switch on" : "kill switch off");
  }

  std::vector<std::string> Recorded() const { return Lines(service_->RecordedText()); }
  // Commands reach the service after the state the test waited for (the monitor blocks
  // IPv6 just after it records "connected"): wait for them to be counted.
  std::vector<std::string> RecordedOnce(std::size_t count) const {
    for (int i = 0; i < 300 && Recorded().size() < count; ++i) std::this_thread::sleep_for(10ms);
    return Recorded();
  }
  // The same, each without its arguments.
  std::vector<std::string> CommandsOnce(std::size_t count) const {
    std::vector<std::string> recorded = RecordedOnce(count);
    for (std::string& line : recorded) line = line.substr(0, line.find('\t'));
    return recorded;
  }
  std::string ServiceStatus() const { return client_->Transact("OPENVPN_STATUS"); }

  testing::TempFolder root_;
  DataLocations locations_{[this] { return root_.path(); }};
  std::uint16_t port_ = testing::FreePort();
  fs::path openvpn_ = FakeOpenVpnNamedLikeTheRealOne();

  // Adoption takes only a process with OpenVPN's name, so the fake carries it.
  fs::path FakeOpenVpnNamedLikeTheRealOne() {
    const fs::path renamed = root_.path() / "bin" / OpenVpnFileName();
    fs::create_directories(renamed.parent_path());
    if (!fs::exists(renamed)) fs::copy_file(testing::SiblingProgram("fake-openvpn"), renamed);
    return renamed;
  }
  std::unique_ptr<testing::FakeKillSwitch> service_;
  std::shared_ptr<KillSwitchClient> client_;
};

// A connect followed until it is up, refusals found before anything is stopped (they
// leave the running tunnel alone), the disconnect, and an attempt given up while its
// OpenVPN starts. The first connect's background resolution is held to the end: it must
// hold up no later connect.
TEST_F(TunnelDoublesTest, ConnectFollowStatusAndDisconnect) {
  StartService("");
  SaveProfile("p1", "#fake sleep 200\n#fake state CONNECTED SUCCESS\n");
  SaveProfile("slow", "#fake management-delay 1500\n#fake state CONNECTED\n");
  fs::create_directories(root_.path() / "VLVPNDesk/profiles/empty");
  auto release = std::make_shared<std::promise<void>>();
  TunnelEnvironment env = Environment();
  env.resolve = [released = release->get_future().share()](const std::string&) {
    released.wait_for(30s);
    return std::vector<std::string>{"203.0.113.7"};
  };
  auto tunnel = Tunnel::Create(locations_, env);
  const ConnectResult connected = testing::Connect(*tunnel, "p1", "server.ovpn", "alice", "secret");
  ASSERT_EQ(connected.outcome, Outcome::kConnecting) << connected.message;

  const TunnelStatus status = WaitForState(*tunnel, "connected");
  ASSERT_EQ(status.state, "connected");
  EXPECT_EQ(status.profile_id, "p1");
  EXPECT_GT(status.pid, 0u);
  EXPECT_EQ(status.down_bps, 1234);
  EXPECT_EQ(status.up_bps, 567);
  EXPECT_TRUE(status.adapter_up);
  EXPECT_EQ(status.message, "");
  EXPECT_TRUE(tunnel->Snapshot()->following) << "the helper is reachable";
  EXPECT_EQ(ReadFileBytes(locations_.ActiveFile()), "p1");
  EXPECT_EQ(ReadFileBytes(root_.path() / "VLVPNDesk/profiles/p1/auth.txt"), "alice\nsecret\n");

  EXPECT_EQ(testing::Connect(*tunnel, "empty", "nope.ovpn").message,
            "VPN config not found for profile: empty");
  EXPECT_EQ(testing::Connect(*tunnel, "p1", "server.ovpn", "alice", "two\nlines").message,
            "The password must not contain a line break.");
  EXPECT_THAT(testing::Connect(*tunnel, "../p1").message, ::testing::StartsWith("Invalid profile id: "));
  EXPECT_EQ(testing::Connect(*tunnel, "ghost").message, "VPN config not found for profile: ghost");
  EXPECT_FALSE(fs::exists(root_.path() / "VLVPNDesk/profiles/ghost")) << "an unknown id makes no folder";
  // Credentials that cannot be written: the old file must not be used in their place.
  fs::remove(root_.path() / "VLVPNDesk/profiles/p1/auth.txt");
  fs::create_directories(root_.path() / "VLVPNDesk/profiles/p1/auth.txt/held");
  EXPECT_THAT(
      testing::Connect(*tunnel, "p1", "server.ovpn", "alice", "typed").message,
      ::testing::AllOf(::testing::StartsWith("Could not write \""), ::testing::HasSubstr("auth.txt")));
  EXPECT_EQ(tunnel->Status().state, "connected");

  const auto process = ProcessHandle::Open(status.pid);
  testing::Disconnect(*tunnel);
  EXPECT_TRUE(process == nullptr || process->WaitForExit(5s)) << "OpenVPN is gone";
  const TunnelStatus after = tunnel->Status();
  EXPECT_EQ(after.state, "disconnected");
  EXPECT_EQ(after.pid, 0u);
  EXPECT_EQ(after.profile_id, "");
  EXPECT_FALSE(tunnel->Snapshot()->following);
  EXPECT_FALSE(fs::exists(locations_.ActiveFile()));

  // The refusals sent no command and stopped nothing.
  ASSERT_THAT(CommandsOnce(9), ElementsAre("DISABLE", "BLOCK_IPV6", "PING", "OPENVPN_STOP", "OPENVPN_START",
                                           "BLOCK_IPV6", "OPENVPN_STOP", "UNBLOCK_IPV6", "DISABLE"));
  const std::string start = Recorded()[4];
  EXPECT_THAT(start, ::testing::StartsWith("OPENVPN_START\t" + PathToUtf8(openvpn_) + "\t--config \""));
  EXPECT_THAT(start, HasSubstr("--management 127.0.0.1 " + std::to_string(port_)));
  EXPECT_THAT(start, ::testing::Not(HasSubstr("secret"))) << "the password stays in auth.txt";

  // A newer connect that fails before it stops anything: the OpenVPN still starting is
  // not left running unfollowed.
  Awaited<ConnectResult> first;
  tunnel->Connect({"slow", "", "", "server.ovpn"}, first.Callback());
  for (int i = 0; i < 1000 && tunnel->Snapshot()->phase != Phase::kStarting; ++i)
    std::this_thread::sleep_for(5ms);
  ASSERT_EQ(tunnel->Snapshot()->phase, Phase::kStarting);
  EXPECT_EQ(testing::Connect(*tunnel, "slow", "nope.ovpn", "bob", "a\nb").outcome, Outcome::kFailed);
  EXPECT_EQ(first.Await("first connect").outcome, Outcome::kSuperseded);
  const TunnelStatus given_up = tunnel->Status();
  EXPECT_EQ(given_up.state, "disconnected");
  EXPECT_EQ(given_up.pid, 0u);
  EXPECT_EQ(ServiceStatus(), "STOPPED");
  release->set_value();
}

// With the kill switch on, every turn of the tunnel's life reaches the service in order:
// connect, the application's restart (the next run takes up the tunnel and the
// switches), the drop of a tunnel still wanted, the user's disconnect, and a server
// whose address cannot be found. Where the service lets its own OpenVPN through
// (Linux), the firewall never opens on the way.
TEST_F(TunnelDoublesTest, KillSwitchCommandsThroughATunnelsLife) {
  for (const bool open_to_resolve : {true, false}) {
    SCOPED_TRACE(open_to_resolve ? "opened to resolve" : "never opened");
    StartService("");
    SaveProfile("p1", "proto udp\n#fake state CONNECTED SUCCESS\n");
    SaveProfile("dark", "proto tcp\n#fake state CONNECTED SUCCESS\n", "vpn.invalid");
    TunnelEnvironment env = Environment();
    env.open_firewall_to_resolve = open_to_resolve;
    env.resolve = [](const std::string& host) {
      return host == "127.0.0.1" ? std::vector<std::string>{"203.0.113.7", "203.0.113.8"}
                                 : std::vector<std::string>{};
    };
    auto tunnel = Tunnel::Create(locations_, env);
    SetKillSwitch(*tunnel, true);
    ASSERT_EQ(testing::Connect(*tunnel, "p1").outcome, Outcome::kConnecting);
    const TunnelStatus before = WaitForState(*tunnel, "connected");
    ASSERT_EQ(before.state, "connected");
    const std::string enable = "ENABLE udp 1194 1 203.0.113.7,203.0.113.8 /opt/velunor/VLVPNDesk";
    std::vector<std::string> expected = {enable,         "BLOCK_IPV6",    "PING",
                                         "OPENVPN_STOP", "OPENVPN_START", "BLOCK_IPV6"};
    if (open_to_resolve) expected.insert(expected.begin(), "DISABLE");
    EXPECT_EQ(CommandsOnce(expected.size()), expected);
    EXPECT_EQ(ReadFileBytes(locations_.KillSwitchFile()), "udp\n1194\n203.0.113.7,203.0.113.8");

    // The application restarts: its management connection goes, OpenVPN stays.
    tunnel.reset();
    tunnel = Tunnel::Create(locations_, env);
    const TunnelStatus adopted = tunnel->Status();
    EXPECT_EQ(adopted.state, "connected");
    EXPECT_EQ(adopted.profile_id, "p1");
    EXPECT_EQ(adopted.pid, before.pid) << "the process that owns the management port";

    // OpenVPN goes away behind our back while the tunnel is wanted: IPv6 is let go and
    // the kill switch holds the traffic.
    client_->Transact("OPENVPN_STOP");
    const TunnelStatus dropped = WaitForState(*tunnel, "disconnected");
    ASSERT_EQ(dropped.state, "disconnected");
    EXPECT_EQ(dropped.message, kConnectionClosed) << "in words, not the log's last line";
    expected.insert(expected.end(), {"OPENVPN_STATUS", "BLOCK_IPV6", "OPENVPN_STOP", "UNBLOCK_IPV6", enable});
    EXPECT_EQ(CommandsOnce(expected.size()), expected);

    testing::Disconnect(*tunnel);
    expected.insert(expected.end(), {"OPENVPN_STOP", "UNBLOCK_IPV6",
                                     "ENABLE udp 1194 0 203.0.113.7,203.0.113.8 /opt/velunor/VLVPNDesk"});
    EXPECT_EQ(CommandsOnce(expected.size()), expected) << "the user's disconnect loosens the kill switch";
    EXPECT_FALSE(fs::exists(locations_.KillSwitchFile()));
    EXPECT_EQ(ReadFileBytes(locations_.SwitchesFile()), "killswitch on\nblockipv6 on\n");

    // Never on but not in force: where the firewall would have to open for the server,
    // the connect fails and it closes again on what was known.
    const ConnectResult dark = testing::Connect(*tunnel, "dark");
    if (open_to_resolve) {
      EXPECT_EQ(dark.message, kServerNotResolved);
      EXPECT_EQ(tunnel->Status().message, kServerNotResolved);
      expected.insert(expected.end(), {"DISABLE", enable});
    } else {
      EXPECT_EQ(WaitForState(*tunnel, "connected").state, "connected");
      expected.insert(expected.end(), {"ENABLE tcp 1194 1 203.0.113.7,203.0.113.8 /opt/velunor/VLVPNDesk",
                                       "BLOCK_IPV6", "PING", "OPENVPN_STOP", "OPENVPN_START", "BLOCK_IPV6"});
    }
    EXPECT_EQ(CommandsOnce(expected.size()), expected);

    // The kill switch came from the previous run (one that is off is not even prepared).
    Awaited<bool> prepared;
    tunnel->PrepareKillSwitchForReconnect([done = prepared.Callback()](bool ready) { done(ready); });
    EXPECT_TRUE(prepared.Await("prepare"));
    testing::Disconnect(*tunnel);
  }
}

struct FailureCase {
  std::string name;
  std::string service_script;
  std::string fake_script;
  std::string message;    // of the connect, and of getStatus afterwards
  bool replaces = false;  // a tunnel is up when the failing connect comes
};

// Whatever fails, the service stops what it started and, with the kill switch off,
// IPv6 is as it is without a tunnel.
TEST_F(TunnelDoublesTest, EveryFailureOfTheConnectHasItsMessage) {
  const FailureCase cases[] = {
      {"early exit", "",
       "#fake no-management\n#fake log AUTH: Received control message: AUTH_FAILED\n#fake exit 1\n",
       "Authentication failed - check your username and password."},
      {"OK 0 and stopped", "OPENVPN_START => OK 0\nOPENVPN_STATUS => STOPPED\n", "#fake state CONNECTED\n",
       std::string(kExitedEarly)},
      // The log's newest line explains it; the fixed text stands in only for an empty log.
      {"management never answers", "", "#fake no-management\n",
       "OpenVPN 2.6.14 (fake) x86_64 [SSL (OpenSSL)]"},
      // The tunnel it replaced is gone: the record says why nothing took its place.
      {"replacement refused at launch", "OPENVPN_START #1 => <start>\nOPENVPN_START => ERROR refused\n",
       "#fake state CONNECTED\n", "Kill-switch service could not start OpenVPN (ERROR refused)", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StartService(c.service_script);
    SaveProfile("p1", c.fake_script);
    auto tunnel = Tunnel::Create(locations_, Environment());
    if (c.replaces) {
      ASSERT_EQ(testing::Connect(*tunnel, "p1").outcome, Outcome::kConnecting);
      ASSERT_EQ(WaitForState(*tunnel, "connected").state, "connected");
    }
    const ConnectResult result = testing::Connect(*tunnel, "p1");
    EXPECT_EQ(result.outcome, Outcome::kFailed);
    EXPECT_EQ(result.message, c.message);
    const TunnelStatus status = tunnel->Status();
    EXPECT_EQ(status.state, "disconnected");
    EXPECT_EQ(status.message, c.message);
    EXPECT_EQ(status.pid, 0u);
    EXPECT_EQ(ServiceStatus(), "STOPPED");
    const std::vector<std::string> recorded = Recorded();
    const auto started = std::find_if(recorded.rbegin(), recorded.rend(), [](const std::string& line) {
      return line.starts_with("OPENVPN_START");
    });
    EXPECT_EQ(std::find(recorded.rbegin(), started, "OPENVPN_STOP") != started, !c.replaces)
        << "a launch that failed started nothing to stop";
    const auto ipv6 = std::find_if(recorded.rbegin(), recorded.rend(),
                                   [](const std::string& line) { return line.ends_with("BLOCK_IPV6"); });
    EXPECT_TRUE(ipv6 != recorded.rend() && *ipv6 == "UNBLOCK_IPV6");
    testing::Disconnect(*tunnel);
  }
}

// While OpenVPN retries, the user reads why the last try failed; a failure no retry mends
// ends the attempt at once, OpenVPN stopped.
TEST_F(TunnelDoublesTest, FailedTriesAreExplainedAndAnUnmendableOneEndsTheAttempt) {
  StartService("");
  const std::string tls = "Secure handshake with the VPN server failed (TLS error).";
  SaveProfile(
      "p1",
      "#fake sleep 300\n#fake state CONNECTING\n"
      "#fake log TLS Error: TLS key negotiation failed to occur within 60 seconds\n"
      "#fake state RECONNECTING tls-error\n#fake sleep 500\n"
      "#fake log TCP: connect to 198.18.0.2:443 failed: Connection refused\n"
      "#fake state RECONNECTING connection-refused\n#fake sleep 500\n"
      "#fake log VERIFY ERROR: depth=1, error=unable to get local issuer certificate\n"
      "#fake log TLS Error: TLS handshake failed\n#fake state RECONNECTING tls-error\n#fake sleep 60000\n");
  auto tunnel = Tunnel::Create(locations_, Environment());
  ASSERT_EQ(testing::Connect(*tunnel, "p1").outcome, Outcome::kConnecting);
  const auto says = [&](const std::string& text) {
    return testing::WaitForStatus(
        *tunnel, [&](const TunnelStatus& s) { return s.message == text; }, 5s);
  };
  TunnelStatus status = says(tls +
                             " The server never answered: check the server address and port, and that the "
                             "profile's tls-auth or tls-crypt key is the server's.");
  EXPECT_EQ(status.state, "connecting") << status.message;
  status = says("Could not reach the VPN server. It may be offline or blocked.");
  EXPECT_EQ(status.state, "connecting") << status.message;
  const auto process = ProcessHandle::Open(status.pid);
  status = says(
      tls + " The server's certificate was not issued by the certificate authority (CA) in this profile.");
  EXPECT_EQ(WaitForState(*tunnel, "disconnected").message, status.message);
  EXPECT_TRUE(process == nullptr || process->WaitForExit(5s)) << "OpenVPN was stopped, not left to retry";
  testing::Disconnect(*tunnel);

  // A restart after the tunnel was up is explained by what came after, never by the
  // first try's lines.
  SaveProfile(
      "p2",
      "#fake sleep 300\n#fake log TLS Error: Unroutable control packet received\n"
      "#fake state CONNECTED SUCCESS\n#fake sleep 300\n#fake log SIGUSR1[soft,ping-restart] received\n"
      "#fake state RECONNECTING ping-restart\n#fake sleep 60000\n");
  ASSERT_EQ(testing::Connect(*tunnel, "p2").outcome, Outcome::kConnecting);
  ASSERT_EQ(WaitForState(*tunnel, "connected").state, "connected");
  status = WaitForState(*tunnel, "connecting");
  std::this_thread::sleep_for(200ms);
  status = tunnel->Status();
  EXPECT_EQ(status.state, "connecting");
  EXPECT_EQ(status.message, "");
  testing::Disconnect(*tunnel);
}

// A local program that is not OpenVPN listens on the management port: it is never
// taken for a tunnel, never told to stop, and costs the first status no wait.
TEST_F(TunnelDoublesTest, AnImpostorOnThePortIsNotAdopted) {
  StartService("");
  const TcpSocket impostor = TcpSocket::Listen(port_);
  ASSERT_TRUE(impostor.valid());
  auto tunnel = Tunnel::Create(locations_, Environment());
  const TunnelStatus status = tunnel->Status();
  EXPECT_EQ(status.state, "disconnected");
  EXPECT_EQ(status.pid, 0u);
  EXPECT_FALSE(tunnel->Snapshot()->wanted);
  EXPECT_FALSE(impostor.Accept(0ms).valid()) << "not even connected to";
  EXPECT_EQ(Recorded(), std::vector<std::string>{});
}

// An OpenVPN that greets and then never answers (hung, or slow): the first status
// waits for the adoption's budget at most, not for every query's own timeout.
TEST_F(TunnelDoublesTest, AnOpenVpnThatNeverAnswersHoldsUpTheFirstStatusBriefly) {
  StartService("");
  const TcpSocket listener = TcpSocket::Listen(port_);
  std::thread hung([&listener] {
    const TcpSocket client = listener.Accept(5s);
    client.SendAll(">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info\r\n");
    std::string ignored;
    while (client.Receive(ignored, 3s) == TcpSocket::Received::kData) {
    }
  });
  TunnelEnvironment env = Environment();
  env.find_openvpn_process = [](std::uint16_t) { return std::uint32_t{4242}; };  // "an OpenVPN"
  auto tunnel = Tunnel::Create(locations_, env);
  const auto asked = std::chrono::steady_clock::now();
  tunnel->Status();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 1500ms) << "was ~8 s: greeting, two state queries";
  tunnel.reset();
  hung.join();
}

// The first status is taken while a connect is on its way: no adoption then, and none
// later, even when an OpenVPN nobody follows listens by then.
TEST_F(TunnelDoublesTest, NoAdoptionBesideAConnectNorLater) {
  StartService("OPENVPN_START => <delay 300> ERROR refused\n");
  SaveProfile("p1", "#fake state CONNECTED\n");
  auto tunnel = Tunnel::Create(locations_, Environment());
  Awaited<ConnectResult> done;
  tunnel->Connect({"p1", "", "", "server.ovpn"}, done.Callback());
  EXPECT_EQ(tunnel->Status().state, "disconnected");
  EXPECT_EQ(done.Await("connect").outcome, Outcome::kFailed);

  // An OpenVPN of an earlier run, say, starts listening now.
  testing::ChildProcess stray(openvpn_,
                              {"--config", PathToUtf8(root_.path() / "VLVPNDesk/profiles/p1/server.ovpn"),
                               "--management", "127.0.0.1", std::to_string(port_)},
                              testing::ChildProcess::Environment{});
  for (int i = 0; i < 200 && !TcpSocket::Connect(port_, 100ms).valid(); ++i)
    std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(100ms);
  const TunnelStatus later = tunnel->Status();
  EXPECT_EQ(later.state, "disconnected") << "adoption is tried once per process";
  EXPECT_EQ(later.pid, 0u);
}

#ifndef _WIN32
// Started without the service (the elevated path), an OpenVPN that takes seconds to end
// still holds the management port when the reconnect comes: the new one is launched once
// it is gone, and is the one followed.
TEST_F(TunnelDoublesTest, AReconnectFollowsTheNewOpenVpnNotTheOneStillExiting) {
  StartService("");
  SaveProfile("p1", "#fake exit-delay 2500\n#fake state CONNECTED\n");
  TunnelEnvironment env = Environment();
  env.launch = [](const fs::path& program, const std::string& args, std::function<bool()>) {
    const ElevatedStart started = StartElevatedVia("", program, args);
    return LaunchOutcome{started.started, started.process, false, {}};
  };
  auto tunnel = Tunnel::Create(locations_, env);
  ASSERT_EQ(testing::Connect(*tunnel, "p1").outcome, Outcome::kConnecting);
  const std::uint32_t old_pid = WaitForState(*tunnel, "connected").pid;
  const ConnectResult again = testing::Connect(*tunnel, "p1");
  ASSERT_EQ(again.outcome, Outcome::kConnecting) << again.message;
  const TunnelStatus status = WaitForState(*tunnel, "connected");
  EXPECT_EQ(status.state, "connected");
  EXPECT_NE(status.pid, old_pid);
  EXPECT_NE(::kill(static_cast<pid_t>(old_pid), 0), 0) << "the old one ended before the new one started";
  testing::Disconnect(*tunnel);
}
#endif

// A reconnect is reported prepared only once its DISABLE was sent (the order of the
// switches themselves: tunnel_model_test).
TEST_F(TunnelDoublesTest, PreparedOnlyOnceTheFirewallIsOpen) {
  StartService("DISABLE => <delay 200> OK\n");
  TunnelEnvironment env = Environment();
  env.open_firewall_to_resolve = true;
  auto tunnel = Tunnel::Create(locations_, env);
  SetKillSwitch(*tunnel, true);
  Awaited<bool> prepared;
  tunnel->PrepareKillSwitchForReconnect([this, done = prepared.Callback()](bool ready) {
    done(ready && Recorded() == std::vector<std::string>{"DISABLE"});
  });
  EXPECT_TRUE(prepared.Await("prepare")) << "prepared after its DISABLE, not before";
}

}  // namespace
}  // namespace vlvpn
