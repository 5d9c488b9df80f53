#include "tunnel/management.h"
#include "tunnel/openvpn_process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace vlvpn {
namespace {

using namespace std::chrono_literals;

TEST(ManagementStates, OfStateLines) {
  const std::pair<std::string, std::optional<std::string>> lines[] = {
      {">STATE:1700000000,CONNECTED,SUCCESS,10.8.0.2,203.0.113.7,1194,,", "connected"},
      {">STATE:1700000000,RECONNECTING,ping-restart,,,,,", "connecting"},
      {">STATE:1700000000,EXITING\r", "disconnected"},
      {">STATE:1700000000,DISCONNECTED,,,,,,", "disconnected"},
      {">STATE:1700000000,RESOLVE,,,,,,", std::nullopt},
      {">STATE:1700000000", std::nullopt},
      {">STATE:1700000000,connected,x", std::nullopt},
      {"1700000000,CONNECTED,SUCCESS,,,,,", std::nullopt},
      {">LOG:1700000000,I,CONNECTED", std::nullopt},
      {">BYTECOUNT:1,2", std::nullopt},
  };
  for (const auto& [line, state] : lines) EXPECT_EQ(StateOfLine(line), state) << line;
}

// Whole lines across reads: StateReader below.
TEST(LineSplitter, AnOverlongLineIsCapped) {
  LineSplitter lines;
  lines.Append("thi");
  EXPECT_EQ(lines.Next(), std::nullopt) << "a line without its line feed waits";
  lines.Append(std::string(200 * 1024, 'z'));
  lines.Append("\nafter\n");
  const auto overlong = lines.Next();
  ASSERT_TRUE(overlong.has_value());
  EXPECT_EQ(overlong->size(), LineSplitter::kMaxLine);
  EXPECT_EQ(overlong->substr(0, 3), "thi");
  EXPECT_EQ(lines.Next(), "after") << "the rest of an overlong line is dropped, the next line kept";
}

// A management interface played by the test: accepts one client and runs `script`.
class FakeManagement {
 public:
  explicit FakeManagement(std::function<void(TcpSocket&)> script)
      : listener_(TcpSocket::Listen(0)), thread_([this, script = std::move(script)] {
          TcpSocket client = listener_.Accept(5s);
          if (client.valid()) script(client);
        }) {}
  ~FakeManagement() { thread_.join(); }
  std::uint16_t port() const { return listener_.LocalPort(); }

 private:
  TcpSocket listener_;
  std::thread thread_;
};

// Reads what the client sent until `text` appeared.
bool WaitFor(TcpSocket& socket, std::string& seen, const std::string& text) {
  for (int i = 0; i < 50 && seen.find(text) == std::string::npos; ++i) socket.Receive(seen, 100ms);
  return seen.find(text) != std::string::npos;
}

TEST(QueryState, ReadsTheAnswerOrGuesses) {
  const std::pair<std::string, std::string> cases[] = {
      {"1700000000,CONNECTED,SUCCESS,10.8.0.2,,,,\r\nEND\r\n", "connected"},
      {">STATE:1,CONNECTED,x\r\n>STATE:2,RECONNECTING,y\r\n", "connecting"},
      {"1700000000,WAIT,,,,,,\r\nEND\r\n", "connecting"},
      {"1700000000,EXITING,SIGTERM,,,,,\r\nEND\r\n", "disconnected"},
      {"", "connecting"},
  };
  for (const auto& [reply, state] : cases) {
    FakeManagement server([reply = reply](TcpSocket& client) {
      std::string seen;
      if (WaitFor(client, seen, "state\r\n") && !reply.empty()) client.SendAll(reply);
      WaitFor(client, seen, "<never>");
    });
    const auto connection = ManagementConnection::Open(server.port());
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(QueryState(*connection), state) << reply;
    connection->Shutdown();
  }
}

// OpenVPN asks for the password first and asks again after a wrong one; one started
// without a password greets at once and is taken as it is. Only OpenVPN's own greeting
// counts, and waiting for it is bounded.
TEST(ManagementConnection, LogsInAndTellsOpenVpnFromAnotherListener) {
  struct Case {
    bool asks;
    std::string given;
    std::string greeting;  // after the log-in
    bool opened;
    bool openvpn;
  };
  const std::string openvpn = ">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info\r\n";
  const Case cases[] = {
      {true, "s3cret", openvpn, true, true},
      {true, "wrong", openvpn, false, false},
      {false, "s3cret", openvpn, true, true},
      {false, "", "SSH-2.0-OpenSSH_9.2\r\n", true, false},
      {false, "", "HTTP/1.1 400 Bad Request\r\n>INFO:OpenVPN Management Interface\r\n", true, false},
      {false, "", "", true, false},  // accepts and stays silent
  };
  for (const Case& c : cases) {
    FakeManagement server([&c](TcpSocket& client) {
      std::string seen;
      std::string reply = c.greeting;
      if (c.asks) {
        client.SendAll("ENTER PASSWORD:");
        WaitFor(client, seen, "\n");
        // The greeting comes in the same write as the answer to the password.
        reply = seen == "s3cret\n" ? "SUCCESS: password is correct\r\n" + reply : "ENTER PASSWORD:";
      }
      if (!reply.empty()) client.SendAll(reply);
      WaitFor(client, seen, "<never>");
    });
    const auto connection = ManagementConnection::Open(server.port(), c.given, 500ms);
    EXPECT_EQ(connection != nullptr, c.opened) << c.given << c.asks;
    if (connection == nullptr) continue;
    EXPECT_EQ(GreetedByOpenVpn(*connection, 300ms), c.openvpn)
        << "the greeting after the log-in is not lost: " << c.greeting;
    connection->Shutdown();
  }
}

// Asked before each try at the management port (a refused loopback connect costs Windows
// a second).
TEST(SomethingListensOn, TheSystemsTableTellsAListenedPort) {
  TcpSocket listener = TcpSocket::Listen(0);
  const std::uint16_t port = listener.LocalPort();
  EXPECT_TRUE(SomethingListensOn(port));
  listener = TcpSocket();
  EXPECT_FALSE(SomethingListensOn(port));
}

// Lines come whole whatever the reads cut; the reply to "state" counts until its END,
// a state reply's form elsewhere and every other line is ignored.
TEST(StateReader, WordsInOrderFromLinesAndTheStateReply) {
  StateReader reader;
  const std::pair<std::string, std::vector<std::string>> feeds[] = {
      {">INFO:OpenVPN Management Interface Version 5\r\nSUCCESS: real-time state notification set to ON\r\n",
       {}},
      {"1,WAIT,,,,,,\r\nEND\r\n>STATE:2,CONNECTED,SUCCESS,,,,,\r\n>STA", {"connecting", "connected"}},
      {"TE:3,CONNECTED,SUCCESS,,,,,\r\n>LOG:x,CONNECTED\r\n1,EXITING,,,\r\n", {"connected"}},
      {">STATE:4,RECONNECTING,ping-restart,,,,,\r", {}},
      {"\n>STATE:5,connected,x\r\n>BYTECOUNT:1,2\r\n", {"connecting"}},
  };
  for (const auto& [bytes, words] : feeds) EXPECT_EQ(reader.Feed(bytes), words) << bytes;
}

}  // namespace
}  // namespace vlvpn
