#include "tunnel/management.h"

#include <gtest/gtest.h>

#include <atomic>
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

class MonitorTest : public ::testing::Test {
 protected:
  TunnelMonitor::Hooks Hooks() {
    return {[this] { ++connected_hooks_; }, [this] { ++dropped_hooks_; },
            [](const std::filesystem::path&) { return std::string(); }};
  }
  std::string StateWhen(const std::function<bool(const TunnelRecord&)>& ready) {
    for (int i = 0; i < 200; ++i) {
      const TunnelRecord r = state_.Snapshot();
      if (ready(r)) return r.state;
      std::this_thread::sleep_for(10ms);
    }
    return "<timed out: " + state_.Snapshot().state + ">";
  }

  TunnelState state_;
  std::atomic<int> connected_hooks_{0};
  std::atomic<int> dropped_hooks_{0};
};

TEST_F(MonitorTest, FollowsStatesAndNoticesTheDrop) {
  FakeManagement server([](TcpSocket& client) {
    std::string seen;
    WaitFor(client, seen, "state on\r\n");
    WaitFor(client, seen, "state\r\n");
    client.SendAll("SUCCESS: real-time state notification set to ON\r\n1,WAIT,,,,,,\r\nEND\r\n");
    client.SendAll(">STATE:2,CONNECTED,SUCCESS,,,,,\r\n>STA");
    std::this_thread::sleep_for(50ms);
    client.SendAll("TE:3,CONNECTED,SUCCESS,,,,,\r\n>LOG:x,CONNECTED\r\n");
    std::this_thread::sleep_for(200ms);
    client.SendAll(">STATE:4,RECONNECTING,ping-restart,,,,,\r\n");
    std::this_thread::sleep_for(200ms);
  });
  auto connection = ManagementConnection::Open(server.port());
  ASSERT_NE(connection, nullptr);
  state_.Update([&](TunnelRecord& r) {
    r.state = "connecting";
    r.message = "old failure";
    r.management = connection;
  });
  TunnelMonitor monitor(state_, Hooks());
  monitor.Start(connection);
  connection.reset();
  EXPECT_EQ(StateWhen([](const TunnelRecord& r) { return r.state == "connected"; }), "connected");
  EXPECT_EQ(state_.Snapshot().message, "") << "connected clears the message";
  EXPECT_EQ(StateWhen([](const TunnelRecord& r) { return r.state == "disconnected"; }), "disconnected");
  const TunnelRecord after = state_.Snapshot();
  EXPECT_EQ(after.message, "Connection closed");
  EXPECT_EQ(after.management, nullptr) << "the monitor lets go of its connection";
  EXPECT_EQ(connected_hooks_.load(), 1) << "two CONNECTED lines in a row block IPv6 once";
  EXPECT_EQ(dropped_hooks_.load(), 1);
  monitor.Stop();
}

// OpenVPN killed before it read our commands resets the connection instead of closing
// it; that is a drop all the same.
TEST_F(MonitorTest, AResetConnectionIsADrop) {
  std::optional<FakeManagement> server;
  server.emplace([](TcpSocket& client) { std::this_thread::sleep_for(200ms); (void)client; });
  auto connection = ManagementConnection::Open(server->port());
  state_.Update([&](TunnelRecord& r) {
    r.state = "connected";
    r.management = connection;
  });
  TunnelMonitor monitor(state_, Hooks());
  monitor.Start(connection);
  EXPECT_EQ(StateWhen([](const TunnelRecord& r) { return r.state == "disconnected"; }), "disconnected");
  EXPECT_EQ(dropped_hooks_.load(), 1);
  monitor.Stop();
}

// OpenVPN already connected before the monitor subscribed: the state asked for once
// after subscribing brings the record up to date.
TEST_F(MonitorTest, CatchesUpWithAStateReachedBeforeSubscribing) {
  FakeManagement server([](TcpSocket& client) {
    std::string seen;
    WaitFor(client, seen, "state\r\n");
    client.SendAll("SUCCESS: real-time state notification set to ON\r\n1,CONNECTED,SUCCESS,,,,,\r\nEND\r\n");
    WaitFor(client, seen, "<never>");
  });
  auto connection = ManagementConnection::Open(server.port());
  TunnelMonitor monitor(state_, Hooks());
  monitor.Start(connection);
  EXPECT_EQ(StateWhen([](const TunnelRecord& r) { return r.state == "connected"; }), "connected");
  monitor.Stop();
  connection->Shutdown();
}

// Stopping never waits out a blocked read: the monitor is woken and joined at once,
// and a stop is not mistaken for a drop.
TEST_F(MonitorTest, StopWakesABlockedReader) {
  std::atomic<bool> release{false};
  FakeManagement server([&release](TcpSocket& client) {
    std::string seen;
    while (!release) client.Receive(seen, 50ms);
  });
  auto connection = ManagementConnection::Open(server.port());
  state_.Update([&](TunnelRecord& r) {
    r.state = "connected";
    r.management = connection;
  });
  TunnelMonitor monitor(state_, Hooks());
  monitor.Start(connection);
  std::this_thread::sleep_for(100ms);  // the monitor is now inside its 1 s wait
  const auto start = std::chrono::steady_clock::now();
  monitor.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms) << "woken, not waited out";
  EXPECT_FALSE(monitor.Running());
  EXPECT_EQ(state_.Snapshot().state, "connected");
  EXPECT_EQ(dropped_hooks_.load(), 0);
  release = true;
}

}  // namespace
}  // namespace vlvpn
