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

// PING unanswered: 11 tries, then the service is started and, unless that failed, 15
// more; a registered service never brings up the elevation prompt.
TEST(Launch, AServiceThatDoesNotAnswerIsStartedAndWaitedFor) {
  struct Case {
    ServiceStart start;
    std::size_t pong_at;  // 0: never
    int pings;
  };
  const Case cases[] = {{ServiceStart::kStarted, 0, 11 + 16},
                        {ServiceStart::kFailed, 0, 11},
                        {ServiceStart::kAlreadyRunning, 14, 14}};
  for (const Case& c : cases) {
    ScriptedWorld world;
    world.start_result = c.start;
    world.replies["OPENVPN_START"] = {"OK 4242"};
    if (c.pong_at > 0) {
      world.replies["PING"] = std::deque<std::string>(c.pong_at - 1, "");
      world.replies["PING"].push_back("PONG");
    }
    const LaunchOutcome out = world.Launch();
    EXPECT_EQ(out.error, c.pong_at > 0 ? "" : kServiceNotResponding) << c.pings;
    EXPECT_EQ(out.via_service, c.pong_at > 0) << c.pings;
    EXPECT_EQ(world.Count("PING"), c.pings);
    EXPECT_EQ(world.Count("<start service>"), 1) << c.pings;
    EXPECT_EQ(world.done[11], "<start service>") << c.pings;
    EXPECT_EQ(world.Count("<elevated --config \"x\">"), 0) << c.pings;
  }
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

// PING answered: the old OpenVPN is stopped and ours started; the pid of "OK <pid>" is
// opened when it is one, and an empty reply asks for the status before starting again.
TEST(Launch, AnAnsweringServiceStartsOpenVpn) {
  struct Case {
    std::string reply, status;
    std::string error;
    std::vector<std::string> after_start;
  };
  const Case cases[] = {
      {"OK 77", "", "", {"<open 77>"}},
      {"", "RUNNING 321", "", {"OPENVPN_STATUS", "<open 321>"}},
      {"ERROR x", "", "Kill-switch service could not start OpenVPN (ERROR x)", {}},
      // No usable process id (ParseProcessId's other refusals below): started, but nothing to open.
      {"OK 0", "", "", {}},
      {"OK abc", "", "", {}},
  };
  for (const Case& c : cases) {
    ScriptedWorld world;
    world.replies["PING"] = {"PONG"};
    world.replies["OPENVPN_START"] = {c.reply};
    world.replies["OPENVPN_STATUS"] = {c.status};
    const LaunchOutcome out = world.Launch();
    EXPECT_EQ(out.ok, c.error.empty()) << c.reply;
    EXPECT_EQ(out.via_service, c.error.empty()) << c.reply;
    EXPECT_EQ(out.error, c.error) << c.reply;
    std::vector<std::string> expected = {"PING", "OPENVPN_STOP",
                                         "OPENVPN_START\t/opt/openvpn\t--config \"x\""};
    expected.insert(expected.end(), c.after_start.begin(), c.after_start.end());
    EXPECT_EQ(world.done, expected) << c.reply;
  }
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
    EXPECT_EQ(out.ok, !registered);
    EXPECT_EQ(out.error, registered ? kServiceNotResponding : "");
    EXPECT_FALSE(out.via_service);
    EXPECT_EQ(world.Count("<elevated --config \"x\">"), registered ? 0 : 1);
  }
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
