// End to end against the real OpenVPN: VLVPNDesk --stdio driven as the interface
// drives it, loopback OpenVPN servers made by the test, and the fake kill-switch
// service (which really starts OpenVPN, so this runs with or without root).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "common/arguments.h"
#include "common/file_io.h"
#include "common/process_path.h"
#include "common/tcp_socket.h"
#include "common/value.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kOpenVpn = "/usr/sbin/openvpn";

bool Alive(std::uint32_t pid) { return pid != 0 && ::kill(static_cast<pid_t>(pid), 0) == 0; }

class OpenVpnEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(kOpenVpn)) GTEST_SKIP() << "the openvpn package is not installed";
    if (!fs::exists("/dev/net/tun")) GTEST_SKIP() << "no /dev/net/tun: the tunnel check refuses to connect";
    const fs::path pki_script = ExecutablePath().parent_path() / "fixtures" / "pki.sh";
    ASSERT_EQ(std::system(("bash '" + pki_script.string() + "' '" + Pki().string() + "'").c_str()), 0);
    socket_ = (temp_.path() / "ks.sock").string();
    service_ = std::make_unique<testing::ChildProcess>(
        testing::SiblingProgram("fake-killswitch"),
        std::vector<std::string>{"--pipe", socket_, "--record", (temp_.path() / "recorded").string()},
        testing::ChildProcess::Environment{});
    for (int i = 0; i < 100 && !fs::exists(socket_); ++i) std::this_thread::sleep_for(20ms);
  }
  void TearDown() override {
    desk_.reset();
    // Whatever OpenVPN a failed test left behind is ended here, never left running.
    std::system(("pkill -f -- '" + temp_.path().string() + "' >/dev/null 2>&1").c_str());
  }

  fs::path Pki() const { return temp_.path() / "pki"; }

  // A loopback OpenVPN server on `port` with the test's certificates, logging beside them.
  std::unique_ptr<testing::ChildProcess> StartServer(std::uint16_t port, const std::string& args,
                                                     std::chrono::milliseconds settle = 300ms) {
    const std::string p = Pki().string();
    const fs::path log = temp_.path() / ("server-" + std::to_string(++servers_) + ".log");
    auto server = std::make_unique<testing::ChildProcess>(
        kOpenVpn,
        SplitArguments(args + " --lport " + std::to_string(port) + " --tls-server --dh none --ca " + p +
                       "/ca.crt --cert " + p + "/server.crt --key " + p + "/server.key --log " + log.string()),
        testing::ChildProcess::Environment{});
    std::this_thread::sleep_for(settle);
    return server;
  }

  std::string ClientConfig(const std::string& proto, std::uint16_t port, const std::string& ca = "ca.crt",
                           const std::string& device = "dev null") const {
    const std::string p = Pki().string();
    return device + "\ntls-client\nnobind\nremote 127.0.0.1 " + std::to_string(port) + "\nproto " + proto + "\nca " +
           p + "/" + ca + "\ncert " + p + "/client.crt\nkey " + p + "/client.key\nremote-cert-tls server\n";
  }

  void StartDesk() {
    desk_ = std::make_unique<testing::ChildProcess>(
        testing::SiblingProgram("VLVPNDesk"), std::vector<std::string>{"--stdio"},
        testing::ChildProcess::Environment{{"XDG_DATA_HOME", temp_.path().string()},
                                           {"VLVPN_KILLSWITCH_SOCKET", socket_}});
    const auto hello = desk_->ReadLine();
    ASSERT_TRUE(hello.has_value());
  }

  Value Call(const std::string& method, Value args = Value::array()) {
    const Value request = {{"id", ++id_}, {"module", "VLVPNTunnel"}, {"method", method}, {"args", std::move(args)}};
    EXPECT_TRUE(desk_->Write(DumpLine(request) + "\n"));
    const auto line = desk_->ReadLine(60s);
    if (!line) return Value("<no answer>");
    return Value::parse(*line);
  }

  Value StatusWhen(const std::function<bool(const Value&)>& ready, std::chrono::seconds limit = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    Value status = Call("getStatus")["result"];
    while (!ready(status) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(200ms);
      status = Call("getStatus")["result"];
    }
    return status;
  }
  static bool Is(const Value& status, const char* state) { return status["state"] == state; }

  void SaveProfile(const std::string& id, const std::string& config) {
    ASSERT_TRUE(Call("saveOvpnProfile", {id, config, "client.ovpn", ""}).contains("result"));
  }

  // Saves `config` as profile `id`, connects it and follows the status until the tunnel
  // is up or has failed; returns that status.
  Value Connect(const std::string& id, const std::string& config) {
    SaveProfile(id, config);
    EXPECT_EQ(Call("connectOvpn", {id, "", "", "client.ovpn"})["result"], (Value{{"state", "connecting"}}));
    return StatusWhen([](const Value& s) { return Is(s, "connected") || Is(s, "disconnected"); });
  }

  testing::TempFolder temp_;
  std::string socket_;
  std::unique_ptr<testing::ChildProcess> service_;
  std::unique_ptr<testing::ChildProcess> desk_;
  int id_ = 0;
  int servers_ = 0;
};

// One desk against a UDP and a TCP server: an unknown option is named; a tunnel connects,
// outlives its window, is adopted by the next run and disconnected; the death of a
// connected tunnel's server is explained.
TEST_F(OpenVpnEndToEnd, ConnectAdoptDisconnectAndFailures) {
  const std::uint16_t port = TcpSocket::Listen(0).LocalPort();  // the UDP server's and the TCP server's
  const auto udp_server = StartServer(port, "--dev null --proto udp --ping 2 --ping-restart 10");
  auto tcp_server = StartServer(port, "--dev null --proto tcp-server");
  StartDesk();

  // OpenVPN names an option it does not know on its output, before its log opens: the
  // user reads it all the same, on every start path (here the service's).
  SaveProfile("odd", ClientConfig("udp", port) + "frobnicate 1\n");
  const Value refused = Call("connectOvpn", {"odd", "", "", "client.ovpn"});
  EXPECT_THAT(refused["error"]["message"].get<std::string>(),
              ::testing::AllOf(::testing::StartsWith("VPN configuration error: Options error: Unrecognized option"),
                               ::testing::HasSubstr("client.ovpn:10: frobnicate")))
      << refused.dump();
  EXPECT_TRUE(Is(Call("getStatus")["result"], "disconnected"));

  const Value before = Connect("home", ClientConfig("udp", port));
  ASSERT_TRUE(Is(before, "connected")) << before.dump();
  EXPECT_EQ(before["profileId"], "home");
  const auto pid = before["pid"].get<std::uint32_t>();
  EXPECT_TRUE(before["downBps"].is_number() && before["upBps"].is_number());
  EXPECT_TRUE(fs::exists(temp_.path() / "VLVPNDesk" / "active.txt"));
  // Profiles hold keys and the log names the server: nothing for other users, OpenVPN's
  // own log included.
  ASSERT_TRUE(fs::exists(temp_.path() / "VLVPNDesk" / "profiles" / "home" / "openvpn.log"));
  for (const auto& entry : fs::recursive_directory_iterator(temp_.path() / "VLVPNDesk")) {
    EXPECT_EQ(entry.symlink_status().permissions() & (fs::perms::group_all | fs::perms::others_all), fs::perms::none)
        << entry.path();
  }

  desk_->CloseInput();  // the window closes and the process ends; the tunnel stays up
  EXPECT_EQ(desk_->WaitForExit(), 0);
  // Nobody else steers the tunnel left running: the port asks for the password first.
  {
    TcpSocket stranger = TcpSocket::Connect(11940, 1000ms);
    ASSERT_TRUE(stranger.valid());
    stranger.SendAll("signal SIGTERM\r\nstate\r\n");
    std::string heard;
    for (int i = 0; i < 5; ++i) stranger.Receive(heard, 100ms);
    EXPECT_TRUE(heard.starts_with("ENTER PASSWORD:ENTER PASSWORD:")) << heard;
    EXPECT_EQ(heard.find("SUCCESS"), std::string::npos) << heard;
  }
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(Alive(pid));
  StartDesk();
  const Value adopted = Call("getStatus")["result"];
  EXPECT_EQ(adopted["state"], "connected") << adopted.dump();
  EXPECT_EQ(adopted["profileId"], "home");
  EXPECT_EQ(adopted["pid"], before["pid"]);

  EXPECT_EQ(Call("disconnect")["result"], (Value{{"state", "disconnected"}}));
  EXPECT_EQ(Call("getStatus")["result"]["state"], "disconnected");
  for (int i = 0; i < 50 && Alive(pid); ++i) std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(Alive(pid)) << "OpenVPN is gone";
  EXPECT_FALSE(fs::exists(temp_.path() / "VLVPNDesk" / "active.txt"));
  EXPECT_FALSE(fs::exists(temp_.path() / "VLVPNDesk" / "killswitch.txt"));

  ASSERT_TRUE(Is(Connect("far", ClientConfig("tcp-client", port)), "connected"));
  tcp_server.reset();  // the server dies
  const Value dropped = StatusWhen([](const Value& s) { return Is(s, "disconnected"); }, 60s);
  ASSERT_TRUE(Is(dropped, "disconnected")) << dropped.dump();
  EXPECT_EQ(dropped["message"], "Could not reach the VPN server. It may be offline or blocked.") << dropped.dump();
}

// A datagram socket whose sends leave by `device` whatever the routing table says; -1
// when it cannot be had.
int DeviceSocket(const std::string& device) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 &&
      ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device.c_str(), static_cast<socklen_t>(device.size())) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Real tun devices, so root: a "mode server" that refuses every login, then on the same
// port a point-to-point pair whose traffic the status follows.
TEST_F(OpenVpnEndToEnd, RefusedLoginAndRatesOverRealTunDevices) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: the servers open real tun devices";
  const std::uint16_t port = TcpSocket::Listen(0).LocalPort();
  const std::string p = Pki().string();
  WriteFileAtomically(temp_.path() / "refuse.sh", "#!/bin/sh\nexit 1\n");
  fs::permissions(temp_.path() / "refuse.sh", fs::perms::owner_all);
  auto refusing = StartServer(port,
                              "--mode server --dev tun --topology subnet --server 10.89.0.0 255.255.255.0 --proto udp "
                              "--script-security 2 --auth-user-pass-verify " +
                                  (temp_.path() / "refuse.sh").string() + " via-file --verify-client-cert none",
                              500ms);
  StartDesk();
  SaveProfile("login", "client\ndev null\nnobind\nremote 127.0.0.1 " + std::to_string(port) +
                           "\nproto udp\nauth-user-pass\nca " + p + "/ca.crt\nremote-cert-tls server\n");
  // The user name and password given here are what the connect writes for OpenVPN.
  Call("connectOvpn", {"login", "alice", "wrong password", "client.ovpn"});
  const Value refused = StatusWhen([](const Value& s) { return s.contains("message"); }, 30s);
  EXPECT_EQ(refused["state"], "disconnected");
  EXPECT_EQ(refused["message"], "Authentication failed - check your username and password.") << refused.dump();
  EXPECT_EQ(ReadFileBytes(temp_.path() / "VLVPNDesk/profiles/login/auth.txt"), "alice\nwrong password\n");
  refusing.reset();

  // The server's device is not named tun*, so the client's is the one the status reads.
  const auto pair = StartServer(port, "--dev vlvpnsrv0 --dev-type tun --ifconfig 10.89.7.1 10.89.7.2 --proto udp");
  const Value connected =
      Connect("home", ClientConfig("udp", port, "ca.crt", "dev tunvlvpn0\nifconfig 10.89.7.2 10.89.7.1"));
  ASSERT_TRUE(Is(connected, "connected")) << connected.dump();

  // Four times as much goes up (out of the client's device) as comes down to it, to an
  // address that is nobody's, so it only counts on the way through the tunnel.
  const int up = DeviceSocket("tunvlvpn0");
  const int down = DeviceSocket("vlvpnsrv0");
  ASSERT_TRUE(up >= 0 && down >= 0);
  sockaddr_in nobody{};
  nobody.sin_family = AF_INET;
  nobody.sin_port = htons(9);
  ::inet_pton(AF_INET, "10.89.7.99", &nobody.sin_addr);
  const std::string payload(1200, 'v');
  std::atomic<bool> sending = true;
  std::thread traffic([&] {
    while (sending) {
      ::sendto(up, payload.data(), 1200, 0, reinterpret_cast<const sockaddr*>(&nobody), sizeof nobody);
      ::sendto(down, payload.data(), 300, 0, reinterpret_cast<const sockaddr*>(&nobody), sizeof nobody);
      std::this_thread::sleep_for(2ms);
    }
  });
  const Value status =
      StatusWhen([](const Value& s) { return s.value("downBps", 0) > 0 && s.value("upBps", 0) > 0; }, 15s);
  std::this_thread::sleep_for(600ms);  // the next sample is a new window
  const Value stats = Call("getTrafficStats")["result"];
  sending = false;
  traffic.join();
  ::close(up);
  ::close(down);
  EXPECT_GT(stats.value("upBps", 0), 0) << stats.dump();
  EXPECT_EQ(status["adapterUp"], true);
  const auto up_bps = status.value("upBps", 0);
  const auto down_bps = status.value("downBps", 0);
  EXPECT_GT(down_bps, 0) << status.dump();
  EXPECT_GT(up_bps, 2 * down_bps) << "sent and received are told apart: " << status.dump();
  EXPECT_EQ(Call("disconnect")["result"]["state"], "disconnected");
  EXPECT_EQ(Call("getStatus")["result"].value("upBps", -1), 0);
}

}  // namespace
}  // namespace vlvpn
