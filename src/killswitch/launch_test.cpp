#include "killswitch/launch.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <map>

namespace vlvpn {
namespace {

using ::testing::ElementsAre;

// The launch's world, scripted: replies per command (in order, then the last one
// repeats), and a log of everything the launch did.
struct ScriptedWorld {
  bool registered = true;
  std::map<std::string, std::deque<std::string>> replies;
  ServiceStart start_result = ServiceStart::kStarted;
  ElevatedStart elevated{true, nullptr, 0, false};
  std::vector<std::string> done;

  std::string Reply(std::string_view command) {
    const std::string key(command.substr(0, command.find('\t')));
    auto& queue = replies[key];
    if (queue.empty()) return {};
    std::string reply = queue.front();
    if (queue.size() > 1) queue.pop_front();
    return reply;
  }
  LaunchActions Actions() {
    LaunchActions a;
    a.service_registered = [this] { return registered; };
    a.transact = [this](std::string_view command) {
      done.emplace_back(command);
      return Reply(command);
    };
    a.start_service = [this] {
      done.emplace_back("<start service>");
      return start_result;
    };
    a.sleep = [](std::chrono::milliseconds) {};
    a.open_process = [this](std::uint32_t pid) {
      done.push_back("<open " + std::to_string(pid) + ">");
      return nullptr;
    };
    a.start_elevated = [this](const std::filesystem::path&, const std::string& args) {
      done.push_back("<elevated " + args + ">");
      return elevated;
    };
    return a;
  }
  LaunchOutcome Launch() { return LaunchOpenVpn("/opt/openvpn", "--config \"x\"", Actions()); }
  std::ptrdiff_t Count(const std::string& what) const { return std::count(done.begin(), done.end(), what); }
};

TEST(Launch, RegisteredServiceThatNeverAnswers) {
  ScriptedWorld world;
  const LaunchOutcome out = world.Launch();
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.error, kServiceNotResponding);
  EXPECT_EQ(world.Count("PING"), 11 + 16);
  EXPECT_EQ(world.Count("<start service>"), 1);
  EXPECT_EQ(world.done[11], "<start service>");
  EXPECT_EQ(world.done.back(), "PING") << "no elevation prompt for a registered service";
}

// An attempt the user overtook stops between round trips instead of using them up,
// and nothing is started.
TEST(Launch, ACancelledLaunchStopsAtTheNextRoundTrip) {
  ScriptedWorld world;
  LaunchActions actions = world.Actions();
  actions.cancelled = [&world] { return world.Count("PING") >= 3; };
  const LaunchOutcome out = LaunchOpenVpn("/opt/openvpn", "--config \"x\"", actions);
  EXPECT_TRUE(out.cancelled);
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.error, "");
  EXPECT_THAT(world.done, ElementsAre("PING", "PING", "PING")) << "no service start, no elevation";
}

TEST(Launch, ServiceThatCannotBeStartedIsNotPingedAgain) {
  ScriptedWorld world;
  world.start_result = ServiceStart::kFailed;
  EXPECT_EQ(world.Launch().error, kServiceNotResponding);
  EXPECT_EQ(world.Count("PING"), 11);
}

TEST(Launch, AlreadyRunningServiceGetsTheLongerRetries) {
  ScriptedWorld world;
  world.start_result = ServiceStart::kAlreadyRunning;
  world.replies["PING"] = {"", "", "", "", "", "", "", "", "", "", "", "", "", "PONG"};
  world.replies["OPENVPN_START"] = {"OK 4242"};
  const LaunchOutcome out = world.Launch();
  EXPECT_TRUE(out.ok);
  EXPECT_TRUE(out.via_service);
  EXPECT_EQ(world.Count("PING"), 14);
  EXPECT_EQ(world.Count("<open 4242>"), 1);
}

TEST(Launch, StartsThroughTheServiceAfterStoppingTheOldOpenVpn) {
  ScriptedWorld world;
  world.replies["PING"] = {"PONG"};
  world.replies["OPENVPN_START"] = {"OK 77"};
  const LaunchOutcome out = world.Launch();
  EXPECT_TRUE(out.ok);
  EXPECT_TRUE(out.via_service);
  EXPECT_THAT(world.done, ElementsAre("PING", "OPENVPN_STOP", "OPENVPN_START\t/opt/openvpn\t--config \"x\"",
                                      "<open 77>"));
}

TEST(Launch, StartRepliesWithoutAUsableProcessId) {
  for (const std::string reply : {"OK 0", "OK abc", "OK 99999999999", "OK -5", "OK "}) {
    ScriptedWorld world;
    world.replies["PING"] = {"PONG"};
    world.replies["OPENVPN_START"] = {reply};
    const LaunchOutcome out = world.Launch();
    EXPECT_TRUE(out.ok) << reply;
    EXPECT_TRUE(out.via_service) << reply;
    EXPECT_EQ(out.process, nullptr) << reply;
    EXPECT_EQ(world.Count("<open 0>"), 0) << reply;
  }
}

TEST(Launch, EmptyStartReplyButOpenVpnRunning) {
  ScriptedWorld world;
  world.replies["PING"] = {"PONG"};
  world.replies["OPENVPN_STATUS"] = {"RUNNING 321"};
  EXPECT_TRUE(world.Launch().ok);
  EXPECT_EQ(world.Count("<open 321>"), 1);
  EXPECT_EQ(world.Count("OPENVPN_STATUS"), 1);
}

TEST(Launch, FourSilentStartsEndInNotRespondingOrElevation) {
  for (const bool registered : {true, false}) {
    ScriptedWorld world;
    world.registered = registered;
    world.replies["PING"] = {"PONG"};
    world.replies["OPENVPN_STATUS"] = {"STOPPED"};
    const LaunchOutcome out = world.Launch();
    EXPECT_EQ(world.Count("OPENVPN_START\t/opt/openvpn\t--config \"x\""), 4);
    EXPECT_EQ(world.Count("OPENVPN_STATUS"), 3);
    if (registered) {
      EXPECT_EQ(out.error, kServiceNotResponding);
      EXPECT_EQ(world.Count("<elevated --config \"x\">"), 0);
    } else {
      EXPECT_TRUE(out.ok);
      EXPECT_FALSE(out.via_service);
      EXPECT_EQ(world.Count("<elevated --config \"x\">"), 1);
    }
  }
}

TEST(Launch, ServiceErrorIsQuoted) {
  ScriptedWorld world;
  world.replies["PING"] = {"PONG"};
  world.replies["OPENVPN_START"] = {"ERROR openvpn.exe is not allow-listed"};
  const LaunchOutcome out = world.Launch();
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.error, "Kill-switch service could not start OpenVPN (ERROR openvpn.exe is not allow-listed)");
}

TEST(Launch, UnregisteredServiceGetsOnePingThenElevation) {
  struct Case {
    ElevatedStart elevated;
    bool ok;
    std::string error;
  };
  const Case cases[] = {
      {{true, nullptr, 0, false}, true, ""},
      {{false, nullptr, 1223, true}, false, std::string(kElevationDeclined)},
      {{false, nullptr, 5, false}, false, "Failed to launch OpenVPN (error 5)"},
  };
  for (const auto& c : cases) {
    ScriptedWorld world;
    world.registered = false;
    world.elevated = c.elevated;
    const LaunchOutcome out = world.Launch();
    EXPECT_EQ(out.ok, c.ok);
    EXPECT_EQ(out.error, c.error);
    EXPECT_FALSE(out.via_service);
    EXPECT_THAT(world.done, ElementsAre("PING", "<elevated --config \"x\">"));
  }
}

TEST(ParseProcessId, RangeChecked) {
  EXPECT_EQ(kill_switch_protocol::ParseProcessId("4242"), 4242u);
  EXPECT_EQ(kill_switch_protocol::ParseProcessId("0"), 0u);
  EXPECT_EQ(kill_switch_protocol::ParseProcessId("4294967295"), 4294967295u);
  for (const std::string bad : {"", "4294967296", "-1", "12a", " 12", "12 ", "+3", "0x10"}) {
    EXPECT_EQ(kill_switch_protocol::ParseProcessId(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace vlvpn
