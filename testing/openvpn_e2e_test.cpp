// End to end against the real OpenVPN: VLVPNDesk --stdio driven as the interface
// drives it, a loopback OpenVPN server made by the test, and the fake kill-switch
// service (which really starts OpenVPN, so this runs with or without root).
#include <signal.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <thread>

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

  void StartServer(const std::string& proto, std::uint16_t port) {
    const std::string p = Pki().string();
    std::vector<std::string> args = {"--dev",
                                     "null",
                                     "--tls-server",
                                     "--dh",
                                     "none",
                                     "--ca",
                                     p + "/ca.crt",
                                     "--cert",
                                     p + "/server.crt",
                                     "--key",
                                     p + "/server.key",
                                     "--proto",
                                     proto,
                                     "--lport",
                                     std::to_string(port),
                                     "--log",
                                     (temp_.path() / "server.log").string(),
                                     "--ping",
                                     "2",
                                     "--ping-restart",
                                     "10"};
    server_ = std::make_unique<testing::ChildProcess>(kOpenVpn, args, testing::ChildProcess::Environment{});
    std::this_thread::sleep_for(300ms);
  }

  std::string ClientConfig(const std::string& proto, std::uint16_t port,
                           const std::string& ca = "ca.crt") const {
    const std::string p = Pki().string();
    return "dev null\ntls-client\nnobind\nremote 127.0.0.1 " + std::to_string(port) + "\nproto " + proto +
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

  testing::TempFolder temp_;
  std::string socket_;
  std::unique_ptr<testing::ChildProcess> service_;
  std::unique_ptr<testing::ChildProcess> server_;
  std::unique_ptr<testing::ChildProcess> desk_;
  int id_ = 0;
};

TEST_F(OpenVpnEndToEnd, ConnectFollowDisconnect) {
  const std::uint16_t port = TcpSocket::Listen(0).LocalPort();
  StartServer("udp", port);
  StartDesk();
  SaveProfile("home", ClientConfig("udp", port));
  EXPECT_EQ(Call("connectOvpn", {"home", "", "", "client.ovpn"})["result"], (Value{{"state", "connecting"}}));
  const Value status = StatusWhen([](const Value& s) { return Is(s, "connected") || Is(s, "disconnected"); });
  ASSERT_TRUE(Is(status, "connected")) << status.dump();
  EXPECT_EQ(status["profileId"], "home");
  const auto pid = status["pid"].get<std::uint32_t>();
  EXPECT_TRUE(Alive(pid));
  EXPECT_TRUE(status["downBps"].is_number() && status["upBps"].is_number());
  EXPECT_TRUE(fs::exists(temp_.path() / "VLVPNDesk" / "active.txt"));

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
  SaveProfile("home", ClientConfig("tcp-client", port));
  Call("connectOvpn", {"home", "", "", "client.ovpn"});
  ASSERT_TRUE(Is(StatusWhen([](const Value& s) { return Is(s, "connected"); }), "connected"));
  server_.reset();  // the server dies
  const Value status = StatusWhen([](const Value& s) { return Is(s, "disconnected"); }, 60s);
  ASSERT_TRUE(Is(status, "disconnected")) << status.dump();
  EXPECT_EQ(status["message"], "Could not reach the VPN server. It may be offline or blocked.")
      << status.dump();
  Call("disconnect");
}

TEST_F(OpenVpnEndToEnd, WrongCertificateAuthorityIsATlsFailure) {
  const std::uint16_t port = TcpSocket::Listen(0).LocalPort();
  StartServer("udp", port);
  StartDesk();
  SaveProfile("home", ClientConfig("udp", port, "other-ca.crt"));
  Call("connectOvpn", {"home", "", "", "client.ovpn"});
  // OpenVPN gives up after its retries; the log explains why.
  const Value status = StatusWhen([](const Value& s) { return s.contains("message"); }, 90s);
  EXPECT_EQ(status["message"], "Secure handshake with the VPN server failed (TLS error).") << status.dump();
  Call("disconnect");
}

// A real "mode server" opens a tun device, so this needs root; it refuses every login.
TEST_F(OpenVpnEndToEnd, RefusedLoginIsAnAuthenticationFailure) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: the refusing server opens a real tun device";
  const std::uint16_t port = TcpSocket::Listen(0).LocalPort();
  const std::string p = Pki().string();
  WriteFileAtomically(temp_.path() / "refuse.sh", "#!/bin/sh\nexit 1\n");
  fs::permissions(temp_.path() / "refuse.sh", fs::perms::owner_all);
  server_ = std::make_unique<testing::ChildProcess>(
      kOpenVpn,
      std::vector<std::string>{"--mode",
                               "server",
                               "--tls-server",
                               "--dev",
                               "tun",
                               "--topology",
                               "subnet",
                               "--server",
                               "10.89.0.0",
                               "255.255.255.0",
                               "--dh",
                               "none",
                               "--ca",
                               p + "/ca.crt",
                               "--cert",
                               p + "/server.crt",
                               "--key",
                               p + "/server.key",
                               "--proto",
                               "udp",
                               "--lport",
                               std::to_string(port),
                               "--script-security",
                               "2",
                               "--auth-user-pass-verify",
                               (temp_.path() / "refuse.sh").string(),
                               "via-file",
                               "--verify-client-cert",
                               "none",
                               "--log",
                               (temp_.path() / "server.log").string()},
      testing::ChildProcess::Environment{});
  std::this_thread::sleep_for(500ms);
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

TEST_F(OpenVpnEndToEnd, ARestartedHostAdoptsTheRunningTunnel) {
  const std::uint16_t port = TcpSocket::Listen(0).LocalPort();
  StartServer("udp", port);
  StartDesk();
  SaveProfile("home", ClientConfig("udp", port));
  Call("connectOvpn", {"home", "", "", "client.ovpn"});
  const Value before = StatusWhen([](const Value& s) { return Is(s, "connected"); });
  ASSERT_TRUE(Is(before, "connected"));

  desk_->CloseInput();  // the window closes and the process ends; the tunnel stays up
  EXPECT_EQ(desk_->WaitForExit(), 0);
  EXPECT_TRUE(Alive(before["pid"].get<std::uint32_t>()));
  StartDesk();
  const Value adopted = Call("getStatus")["result"];
  EXPECT_EQ(adopted["state"], "connected") << adopted.dump();
  EXPECT_EQ(adopted["profileId"], "home");
  EXPECT_EQ(adopted["pid"], before["pid"]);
  EXPECT_EQ(Call("disconnect")["result"]["state"], "disconnected");
  const auto pid = before["pid"].get<std::uint32_t>();
  for (int i = 0; i < 50 && Alive(pid); ++i) std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(Alive(pid));
}

TEST_F(OpenVpnEndToEnd, ASecondConnectSupersedesTheFirst) {
  const std::uint16_t port = TcpSocket::Listen(0).LocalPort();
  StartServer("udp", port);
  StartDesk();
  SaveProfile("one", ClientConfig("udp", port));
  SaveProfile("two", ClientConfig("udp", port));
  ASSERT_TRUE(desk_->Write(
      R"({"id":"a","module":"VLVPNTunnel","method":"connectOvpn","args":["one","","","client.ovpn"]})"
      "\n"));
  ASSERT_TRUE(desk_->Write(
      R"({"id":"b","module":"VLVPNTunnel","method":"connectOvpn","args":["two","","","client.ovpn"]})"
      "\n"));
  std::map<std::string, Value> settled;
  for (int i = 0; i < 2; ++i) {
    const auto line = desk_->ReadLine(60s);
    ASSERT_TRUE(line.has_value());
    const Value reply = Value::parse(*line);
    settled[reply["id"].get<std::string>()] = reply;
  }
  EXPECT_TRUE(settled["a"].contains("error") || settled["a"]["result"].value("superseded", false))
      << settled["a"].dump();
  EXPECT_EQ(settled["b"]["result"], (Value{{"state", "connecting"}}));
  const Value status = StatusWhen([](const Value& s) { return Is(s, "connected"); });
  EXPECT_EQ(status["profileId"], "two");
  // Exactly one client OpenVPN of ours is left.
  int clients = 0;
  for (const auto& process : fs::directory_iterator("/proc")) {
    const std::string cmdline = ReadFileBytes(process.path() / "cmdline").value_or("");
    if (cmdline.find("client.ovpn") != std::string::npos &&
        cmdline.find(temp_.path().string()) != std::string::npos) {
      ++clients;
    }
  }
  EXPECT_EQ(clients, 1);
  Call("disconnect");
}

}  // namespace
}  // namespace vlvpn
