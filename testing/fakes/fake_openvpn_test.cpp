// The fake OpenVPN speaks the management interface as OpenVPN 2.6 does.
#include <gtest/gtest.h>

#include <thread>

#include "common/file_io.h"
#include "common/tcp_socket.h"
#include "common/text.h"
#include "fakes/fake_killswitch_script.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::uint16_t FreePort() { return TcpSocket::Listen(0).LocalPort(); }

// Reads lines from a management connection.
class Management {
 public:
  explicit Management(std::uint16_t port) {
    for (int i = 0; i < 200 && !socket_.valid(); ++i) {
      socket_ = TcpSocket::Connect(port, 200ms);
      if (!socket_.valid()) std::this_thread::sleep_for(20ms);
    }
  }
  bool valid() const { return socket_.valid(); }
  std::string Line() {
    for (int i = 0; i < 100; ++i) {
      if (const auto nl = buffer_.find("\r\n"); nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 2);
        return line;
      }
      if (socket_.Receive(buffer_, 100ms) == TcpSocket::Received::kClosed) return "<closed>";
    }
    return "<nothing>";
  }
  void Send(const std::string& command) { socket_.SendAll(command + "\r\n"); }

 private:
  TcpSocket socket_;
  std::string buffer_;
};

TEST(FakeOpenVpn, SpeaksTheManagementInterface) {
  testing::TempFolder temp;
  WriteFileAtomically(
      temp.path() / "c.ovpn",
      // Logged before the state is pushed, so the line is there once CONNECTED is seen.
      "#fake sleep 300\n#fake log Initialization Sequence Completed\n#fake state CONNECTED SUCCESS\n");
  const std::uint16_t port = FreePort();
  testing::ChildProcess openvpn(
      testing::SiblingProgram("fake-openvpn"),
      {"--config", PathToUtf8(temp.path() / "c.ovpn"), "--log", PathToUtf8(temp.path() / "openvpn.log"),
       "--management", "127.0.0.1", std::to_string(port)},
      {});
  Management management(port);
  ASSERT_TRUE(management.valid());
  EXPECT_EQ(management.Line().rfind(">INFO:OpenVPN Management Interface Version 5", 0), 0u);
  management.Send("state on");
  EXPECT_EQ(management.Line(), "SUCCESS: real-time state notification set to ON");
  const std::string pushed = management.Line();
  EXPECT_EQ(pushed.rfind(">STATE:", 0), 0u) << pushed;
  EXPECT_NE(pushed.find(",CONNECTED,SUCCESS,"), std::string::npos) << pushed;
  management.Send("state");
  EXPECT_NE(management.Line().find(",CONNECTED,"), std::string::npos);
  EXPECT_EQ(management.Line(), "END");
  management.Send("signal SIGTERM");
  EXPECT_EQ(management.Line(), "SUCCESS: signal SIGTERM thrown");
  EXPECT_NE(management.Line().find(",EXITING,SIGTERM"), std::string::npos);
  EXPECT_EQ(management.Line(), "<closed>");
  EXPECT_EQ(openvpn.WaitForExit(), 0);
  const std::string log = ReadFileBytes(temp.path() / "openvpn.log").value_or("");
  EXPECT_NE(log.find("Initialization Sequence Completed"), std::string::npos);
}

TEST(FakeOpenVpn, ScriptedEarlyExitWithoutManagement) {
  testing::TempFolder temp;
  WriteFileAtomically(temp.path() / "script",
                      "no-management\nlog AUTH: Received control message: AUTH_FAILED\nexit 1\n");
  const std::uint16_t port = FreePort();
  testing::ChildProcess openvpn(testing::SiblingProgram("fake-openvpn"),
                                {"--config", "none.ovpn", "--log", PathToUtf8(temp.path() / "openvpn.log"),
                                 "--management", "127.0.0.1", std::to_string(port)},
                                {{"VLVPN_FAKE_OPENVPN_SCRIPT", PathToUtf8(temp.path() / "script")}});
  EXPECT_EQ(openvpn.WaitForExit(), 1);
  EXPECT_FALSE(TcpSocket::Connect(port, 200ms).valid());
  EXPECT_NE(ReadFileBytes(temp.path() / "openvpn.log").value_or("").find("AUTH_FAILED"), std::string::npos);
}

TEST(FakeKillSwitchScript, RulesWithUsesThenDefaults) {
  std::vector<fakes::ReplyRule> rules =
      fakes::ParseReplyScript("# comment\nPING #2 => <silence>\nOPENVPN_START => ERROR no\n\nbad line\n");
  ASSERT_EQ(rules.size(), 2u);
  EXPECT_EQ(fakes::ChooseReply(rules, "PING"), "<silence>");
  EXPECT_EQ(fakes::ChooseReply(rules, "PING"), "<silence>");
  EXPECT_EQ(fakes::ChooseReply(rules, "PING"), "PONG");
  EXPECT_EQ(fakes::ChooseReply(rules, "OPENVPN_START\ta\tb"), "ERROR no");
  EXPECT_EQ(fakes::ChooseReply(rules, "OPENVPN_STOP"), "<stop>");
  EXPECT_EQ(fakes::ChooseReply(rules, "DISABLE"), "OK");
}

}  // namespace
}  // namespace vlvpn
