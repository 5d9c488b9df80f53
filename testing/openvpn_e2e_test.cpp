// End to end against the real OpenVPN: VLVPNDesk --stdio driven as the interface
// drives it, a loopback OpenVPN server made by the test, and the fake kill-switch
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
#include "common/text.h"
#include "common/value.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;

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
    server_.reset();
    // Whatever OpenVPN a failed test left behind is ended here, never left running.
    std::system(("pkill -f -- '" + temp_.path().string() + "' >/dev/null 2>&1").c_str());
  }

  fs::path Pki() const { return temp_.path() / "pki"; }

  // A loopback OpenVPN server with the test's certificates, logging beside them.
  void StartServerWith(const std::string& args, std::chrono::milliseconds settle = 300ms) {
    const std::string p = Pki().string();
    server_ = std::make_unique<testing::ChildProcess>(
        kOpenVpn,
        SplitArguments(args + " --tls-server --dh none --ca " + p + "/ca.crt --cert " + p + "/server.crt --key " +
                       p + "/server.key --log " + (temp_.path() / "server.log").string()),
        testing::ChildProcess::Environment{});
    std::this_thread::sleep_for(settle);
  }

  void StartServer(const std::string& proto, std::uint16_t port) {
    StartServerWith("--dev null --proto " + proto + " --lport " + std::to_string(port) + " --ping 2 --ping-restart 10");
  }

  std::string ClientConfig(const std::string& proto, std::uint16_t port, const std::string& ca = "ca.crt",
                           const std::string& device = "dev null") const {
    const std::string p = Pki().string();
    return device + "\ntls-client\nnobind\nremote 127.0.0.1 " + std::to_string(port) + "\nproto " + proto +
           "\nca " + p + "/" + ca + "\ncert " + p + "/client.crt\nkey " + p +
           "/client.key\nremote-cert-tls server\n";
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
    const Value request = {
        {"id", ++id_}, {"module", "VLVPNTunnel"}, {"method", method}, {"args", std::move(args)}};
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

  // Saves `config` as profile "home", connects it and follows the status until the
  // tunnel is up or has failed; returns that status.
  Value ConnectHome(const std::string& config) {
    SaveProfile("home", config);
    EXPECT_EQ(Call("connectOvpn", {"home", "", "", "client.ovpn"})["result"],
              (Value{{"state", "connecting"}}));
    return StatusWhen([](const Value& s) { return Is(s, "connected") || Is(s, "disconnected"); });
  }

  testing::TempFolder temp_;
  std::string socket_;
  std::unique_ptr<testing::ChildProcess> service_;
  std::unique_ptr<testing::ChildProcess> server_;
  std::unique_ptr<testing::ChildProcess> desk_;
  int id_ = 0;
};

// Connect, the window closing with the tunnel left up, the next run adopting it, and
// the disconnect that ends it.
TEST_F(OpenVpnEndToEnd, ConnectAdoptAndDisconnect) {
  const std::uint16_t port = TcpSocket::Listen(0).LocalPort();
  StartServer("udp", port);
  StartDesk();
  const Value before = ConnectHome(ClientConfig("udp", port));
  ASSERT_TRUE(Is(before, "connected")) << before.dump();
  EXPECT_EQ(before["profileId"], "home");
  const auto pid = before["pid"].get<std::uint32_t>();
  EXPECT_TRUE(Alive(pid));
  EXPECT_TRUE(before["downBps"].is_number() && before["upBps"].is_number());
  EXPECT_TRUE(fs::exists(temp_.path() / "VLVPNDesk" / "active.txt"));
  // Profiles hold keys and the log names the server: nothing for other users, OpenVPN's
  // own log included.
  ASSERT_TRUE(fs::exists(temp_.path() / "VLVPNDesk" / "profiles" / "home" / "openvpn.log"));
  for (const auto& entry : fs::recursive_directory_iterator(temp_.path() / "VLVPNDesk")) {
    EXPECT_EQ(entry.symlink_status().permissions() & (fs::perms::group_all | fs::perms::others_all),
              fs::perms::none)
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
}

TEST_F(OpenVpnEndToEnd, ServerDeathIsNoticedAndExplained) {
  const std::uint16_t port = TcpSocket::Listen(0).LocalPort();
  StartServer("tcp-server", port);
  StartDesk();
  ASSERT_TRUE(Is(ConnectHome(ClientConfig("tcp-client", port)), "connected"));
  server_.reset();  // the server dies
  const Value status = StatusWhen([](const Value& s) { return Is(s, "disconnected"); }, 60s);
  ASSERT_TRUE(Is(status, "disconnected")) << status.dump();
  EXPECT_EQ(status["message"], "Could not reach the VPN server. It may be offline or blocked.")
      << status.dump();
  Call("disconnect");
}

TEST_F(OpenVpnEndToEnd, AServerFromAnotherCaEndsTheAttemptAtOnce) {
  const std::uint16_t port = TcpSocket::Listen(0).LocalPort();
  StartServer("udp", port);
  StartDesk();
  SaveProfile("home", ClientConfig("udp", port, "other-ca.crt"));
  Call("connectOvpn", {"home", "", "", "client.ovpn"});
  const Value connecting = StatusWhen([](const Value& s) { return s.contains("pid"); });
  // No retry mends it: the first failed try ends the attempt, where OpenVPN alone would
  // retry for minutes.
  const Value status = StatusWhen([](const Value& s) { return Is(s, "disconnected"); }, 20s);
  EXPECT_EQ(status["message"],
            "Secure handshake with the VPN server failed (TLS error). The server's certificate was not issued by "
            "the certificate authority (CA) in this profile.")
      << status.dump();
  ASSERT_TRUE(connecting.contains("pid")) << connecting.dump();
  const auto pid = connecting["pid"].get<std::uint32_t>();
  for (int i = 0; i < 50 && Alive(pid); ++i) std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(Alive(pid)) << "OpenVPN was stopped";
  Call("disconnect");
}

// OpenVPN names an option it does not know on its output, before its log opens: the
// user reads it all the same, on every start path (here the service's).
TEST_F(OpenVpnEndToEnd, AnUnknownDirectiveIsNamed) {
  const std::uint16_t port = TcpSocket::Listen(0).LocalPort();
  StartDesk();
  SaveProfile("home", ClientConfig("udp", port) + "frobnicate 1\n");
  const Value refused = Call("connectOvpn", {"home", "", "", "client.ovpn"});
  EXPECT_THAT(refused["error"]["message"].get<std::string>(),
              ::testing::AllOf(::testing::StartsWith("VPN configuration error: Options error: Unrecognized option"),
                               ::testing::HasSubstr("client.ovpn:10: frobnicate")))
      << refused.dump();
  EXPECT_TRUE(Is(Call("getStatus")["result"], "disconnected"));
}

// A real "mode server" opens a tun device, so this needs root; it refuses every login.
TEST_F(OpenVpnEndToEnd, RefusedLoginIsAnAuthenticationFailure) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: the refusing server opens a real tun device";
  const std::uint16_t port = TcpSocket::Listen(0).LocalPort();
  const std::string p = Pki().string();
  WriteFileAtomically(temp_.path() / "refuse.sh", "#!/bin/sh\nexit 1\n");
  fs::permissions(temp_.path() / "refuse.sh", fs::perms::owner_all);
  StartServerWith("--mode server --dev tun --topology subnet --server 10.89.0.0 255.255.255.0 --proto udp --lport " +
                      std::to_string(port) + " --script-security 2 --auth-user-pass-verify " +
                      (temp_.path() / "refuse.sh").string() + " via-file --verify-client-cert none",
                  500ms);
  StartDesk();
  SaveProfile("home", "client\ndev null\nnobind\nremote 127.0.0.1 " + std::to_string(port) +
                          "\nproto udp\nauth-user-pass\nca " + p + "/ca.crt\nremote-cert-tls server\n");
  // The user name and password given here are what the connect writes for OpenVPN.
  Call("connectOvpn", {"home", "alice", "wrong password", "client.ovpn"});
  const Value status = StatusWhen([](const Value& s) { return s.contains("message"); }, 30s);
  EXPECT_EQ(status["state"], "disconnected");
  EXPECT_EQ(status["message"], "Authentication failed - check your username and password.") << status.dump();
  EXPECT_EQ(ReadFileBytes(temp_.path() / "VLVPNDesk/profiles/home/auth.txt"), "alice\nwrong password\n");
  Call("disconnect");
}

// Datagrams sent out of one named interface, whatever the routing table says; the
// address is nobody's, so they only count on the way through the tunnel.
class InterfaceSender {
 public:
  explicit InterfaceSender(const std::string& device) : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    bound_ = fd_ >= 0 && ::setsockopt(fd_, SOL_SOCKET, SO_BINDTODEVICE, device.c_str(),
                                      static_cast<socklen_t>(device.size())) == 0;
  }
  InterfaceSender(const InterfaceSender&) = delete;
  InterfaceSender& operator=(const InterfaceSender&) = delete;
  ~InterfaceSender() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool bound() const { return bound_; }
  void Send(std::size_t size) const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    ::inet_pton(AF_INET, "10.89.7.99", &to.sin_addr);
    const std::string payload(size, 'v');
    ::sendto(fd_, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }

 private:
  int fd_;
  bool bound_ = false;
};

// Both ends own a real tun device (a point-to-point pair), so this needs root. The
// server's device is not named tun*, so the client's is the one the status reads.
TEST_F(OpenVpnEndToEnd, RatesFollowTrafficThroughARealTunDevice) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: both ends open a real tun device";
  const std::uint16_t port = TcpSocket::Listen(0).LocalPort();
  StartServerWith("--dev vlvpnsrv0 --dev-type tun --ifconfig 10.89.7.1 10.89.7.2 --proto udp --lport " +
                  std::to_string(port));
  StartDesk();
  const Value connected =
      ConnectHome(ClientConfig("udp", port, "ca.crt", "dev tunvlvpn0\nifconfig 10.89.7.2 10.89.7.1"));
  ASSERT_TRUE(Is(connected, "connected")) << connected.dump();

  // Four times as much goes up (out of the client's device) as comes down to it.
  const InterfaceSender up("tunvlvpn0");
  const InterfaceSender down("vlvpnsrv0");
  ASSERT_TRUE(up.bound() && down.bound());
  std::atomic<bool> sending = true;
  std::thread traffic([&] {
    while (sending) {
      up.Send(1200);
      down.Send(300);
      std::this_thread::sleep_for(2ms);
    }
  });
  const Value status =
      StatusWhen([](const Value& s) { return s.value("downBps", 0) > 0 && s.value("upBps", 0) > 0; }, 15s);
  std::this_thread::sleep_for(600ms);  // the next sample is a new window
  const Value stats = Call("getTrafficStats")["result"];
  sending = false;
  traffic.join();
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
