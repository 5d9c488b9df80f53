#include "tunnel/management.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace vlvpn {
namespace {

using namespace std::chrono_literals;

TEST(ManagementStates, WordsAndLines) {
  const std::pair<std::string, std::string> words[] = {
      {"CONNECTED", "connected"},
      {"CONNECTING", "connecting"},
      {"WAIT", "connecting"},
      {"AUTH", "connecting"},
      {"GET_CONFIG", "connecting"},
      {"ASSIGN_IP", "connecting"},
      {"ADD_ROUTES", "connecting"},
      {"RECONNECTING", "connecting"},
      {"DISCONNECTED", "disconnected"},
      {"EXITING", "disconnected"},
      {"connected", ""},
      {"RESOLVE", ""},
  };
  for (const auto& [word, ours] : words) EXPECT_EQ(MapOpenVpnState(word), ours) << word;

  const std::pair<std::string, std::optional<std::string>> lines[] = {
      {">STATE:1700000000,CONNECTED,SUCCESS,10.8.0.2,203.0.113.7,1194,,", "connected"},
      {">STATE:1700000000,RECONNECTING,ping-restart,,,,,", "connecting"},
      {">STATE:1700000000,EXITING\r", "disconnected"},
      {">STATE:1700000000", std::nullopt},
      {">STATE:1700000000,connected,x", std::nullopt},
      {"1700000000,CONNECTED,SUCCESS,,,,,", std::nullopt},
      {">LOG:1700000000,I,CONNECTED", std::nullopt},
      {">BYTECOUNT:1,2", std::nullopt},
  };
  for (const auto& [line, state] : lines) EXPECT_EQ(StateOfLine(line), state) << line;
}

TEST(LineSplitter, WholeLinesOnlyAndCapped) {
  LineSplitter lines;
  lines.Append(">STATE:1,CONN");
  EXPECT_EQ(lines.Next(), std::nullopt) << "a line without its line feed waits";
  lines.Append("ECTED,x\r\nsecond\nthi");
  EXPECT_EQ(lines.Next(), ">STATE:1,CONNECTED,x");
  EXPECT_EQ(lines.Next(), "second");
  EXPECT_EQ(lines.Next(), std::nullopt);
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

// Only OpenVPN's own greeting counts, and waiting for it is bounded.
TEST(GreetedByOpenVpn, TellsOpenVpnFromAnotherListener) {
  const std::pair<std::string, bool> cases[] = {
      {">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info\r\n", true},
      {"SSH-2.0-OpenSSH_9.2\r\n", false},
      {"HTTP/1.1 400 Bad Request\r\n>INFO:OpenVPN Management Interface\r\n", false},
      {"", false},  // accepts and stays silent
  };
  for (const auto& [greeting, openvpn] : cases) {
    FakeManagement server([greeting = greeting](TcpSocket& client) {
      if (!greeting.empty()) client.SendAll(greeting);
      std::string seen;
      WaitFor(client, seen, "<never>");
    });
    const auto connection = ManagementConnection::Open(server.port());
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(GreetedByOpenVpn(*connection, 300ms), openvpn) << greeting;
    connection->Shutdown();
  }
}

// The monitor's reports as the test sees them: "word" lines and "<ended>".
class MonitorTest : public ::testing::Test {
 protected:
  TunnelMonitor::Events Events() {
    return {[this](std::uint64_t serial, std::string word) { Note(serial, word); },
            [this](std::uint64_t serial) { Note(serial, "<ended>"); }};
  }
  void Note(std::uint64_t serial, const std::string& what) {
    std::lock_guard guard(lock_);
    reports_.push_back(std::to_string(serial) + " " + what);
  }
  // The reports once `count` have arrived (or after 2 s).
  std::vector<std::string> Reports(std::size_t count) {
    for (int i = 0; i < 200; ++i) {
      {
        std::lock_guard guard(lock_);
        if (reports_.size() >= count) return reports_;
      }
      std::this_thread::sleep_for(10ms);
    }
    std::lock_guard guard(lock_);
    return reports_;
  }

  std::mutex lock_;
  std::vector<std::string> reports_;
};

TEST_F(MonitorTest, ReportsStatesInOrderThenTheEnd) {
  FakeManagement server([](TcpSocket& client) {
    std::string seen;
    WaitFor(client, seen, "state on\r\n");
    WaitFor(client, seen, "state\r\n");
    client.SendAll("SUCCESS: real-time state notification set to ON\r\n1,WAIT,,,,,,\r\nEND\r\n");
    client.SendAll(">STATE:2,CONNECTED,SUCCESS,,,,,\r\n>STA");
    std::this_thread::sleep_for(50ms);
    client.SendAll("TE:3,CONNECTED,SUCCESS,,,,,\r\n>LOG:x,CONNECTED\r\n1,EXITING,,,\r\n");
    client.SendAll(">STATE:4,RECONNECTING,ping-restart,,,,,\r\n");
    std::this_thread::sleep_for(100ms);
  });
  TunnelMonitor monitor(Events());
  monitor.Start(ManagementConnection::Open(server.port()), 7);
  EXPECT_EQ(Reports(5), (std::vector<std::string>{"7 connecting", "7 connected", "7 connected", "7 connecting",
                                                  "7 <ended>"}))
      << "a line split across reads counts once; other lines and a state reply after END are ignored";
  monitor.Stop();
}

// OpenVPN killed before it read our commands resets the connection instead of closing
// it; that ends the monitor all the same.
TEST_F(MonitorTest, AResetConnectionEndsIt) {
  FakeManagement server([](TcpSocket& client) {
    std::this_thread::sleep_for(100ms);
    (void)client;
  });
  TunnelMonitor monitor(Events());
  monitor.Start(ManagementConnection::Open(server.port()), 1);
  EXPECT_EQ(Reports(1), (std::vector<std::string>{"1 <ended>"}));
  monitor.Stop();
}

// Stopping never waits out a blocked read, and a stop is not reported as an end.
TEST_F(MonitorTest, StopWakesABlockedReaderAndReportsNothing) {
  std::atomic<bool> release{false};
  FakeManagement server([&release](TcpSocket& client) {
    std::string seen;
    while (!release) client.Receive(seen, 50ms);
  });
  TunnelMonitor monitor(Events());
  monitor.Start(ManagementConnection::Open(server.port()), 1);
  std::this_thread::sleep_for(100ms);
  monitor.Stop();
  EXPECT_FALSE(monitor.Running());
  release = true;
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(Reports(0), std::vector<std::string>{});
}

}  // namespace
}  // namespace vlvpn
