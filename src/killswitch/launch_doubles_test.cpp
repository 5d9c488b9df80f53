// The launch against the fake kill-switch service and the fake OpenVPN, as real processes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/tcp_socket.h"
#include "support/fake_service_fixture.h"
#include "support/tunnel_fixture.h"
#include "support/lines.h"
#include "killswitch/launch.h"

namespace vlvpn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using testing::Lines;

TEST(LaunchWithDoubles, ServiceStartsOpenVpnWithTheWholeArgumentString) {
  const testing::FakeKillSwitch service("");
  const KillSwitchClient client = service.Client();
  LaunchActions actions = SystemLaunchActions(client);
  actions.service_registered = [] { return true; };

#ifdef _WIN32
  const fs::path folder = service.folder() / PathFromUtf8("Profile Z\xC3\xBCrich 1");
#else
  const fs::path folder =
      service.folder() / PathFromUtf8("Profile \"Z\xC3\xBCrich\" 1");  // quotes are legal here
#endif
  fs::create_directories(folder);
  WriteFileAtomically(folder / "c.ovpn", "#fake state CONNECTED\n");
  const fs::path openvpn = testing::SiblingProgram("fake-openvpn");
  const std::string args = testing::FakeOpenVpnArguments(folder / "c.ovpn", folder / "openvpn.log", testing::FreePort());

  const LaunchOutcome out = LaunchOpenVpn(openvpn, args, actions);
  ASSERT_TRUE(out.ok) << out.error;
  EXPECT_TRUE(out.via_service);
  ASSERT_NE(out.process, nullptr) << "the pid of \"OK <pid>\" is opened";
  EXPECT_FALSE(out.process->HasExited());
  EXPECT_THAT(
      Lines(service.RecordedText()),
      ::testing::ElementsAre("PING", "OPENVPN_STOP", "OPENVPN_START\t" + PathToUtf8(openvpn) + "\t" + args));

  // The log lands where --log said, so the path with blanks and quotes arrived whole.
  for (int i = 0; i < 100 && !fs::exists(folder / "openvpn.log"); ++i) std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(fs::exists(folder / "openvpn.log"));

  EXPECT_EQ(client.Transact("OPENVPN_STATUS"), "RUNNING " + std::to_string(out.process->pid()));
  client.Transact("OPENVPN_STOP");
  EXPECT_TRUE(out.process->WaitForExit(5s));
  // The service learns of the exit when it reaps its child, a moment after we see it.
  std::string status;
  for (int i = 0; i < 250 && (status = client.Transact("OPENVPN_STATUS")) != "STOPPED"; ++i) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(status, "STOPPED");
}

TEST(LaunchWithDoubles, ServiceErrorsAndSilenceReachTheUser) {
  struct Case {
    std::string script;
    bool registered;
    std::string error;
  };
  const Case cases[] = {
      {"OPENVPN_START => ERROR not allowed\n", true,
       "Kill-switch service could not start OpenVPN (ERROR not allowed)"},
      {"OPENVPN_START => <silence>\nOPENVPN_STATUS => STOPPED\n", true, std::string(kServiceNotResponding)},
  };
  for (const auto& c : cases) {
    const testing::FakeKillSwitch service(c.script);
    const KillSwitchClient client = service.Client();
    LaunchActions actions = SystemLaunchActions(client);
    actions.service_registered = [&c] { return c.registered; };
    const LaunchOutcome out =
        LaunchOpenVpn(testing::SiblingProgram("fake-openvpn"), "--config \"x\"", actions);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.error, c.error);
    EXPECT_EQ(out.process, nullptr);
  }
}

TEST(LaunchWithDoubles, NoServiceAtAllMeansOnePingThenElevation) {
  testing::TempFolder temp;
#ifdef _WIN32
  const KillSwitchClient client({"\\\\.\\pipe\\VLVPNTest-none", "VLVPNTestNoSuchService"},
                                [] { return false; });
#else
  const KillSwitchClient client({PathToUtf8(temp.path() / "none.sock"), "vlvpn-test-none"},
                                [] { return false; });
#endif
  LaunchActions actions = SystemLaunchActions(client);
  EXPECT_FALSE(actions.service_registered()) << "an absent service is not registered";
  int elevations = 0;
  actions.start_elevated = [&](const fs::path&, const std::string&) {
    ++elevations;
    return ElevatedStart{false, nullptr, 1223, true};
  };
  const LaunchOutcome out = LaunchOpenVpn(testing::SiblingProgram("fake-openvpn"), "--config \"x\"", actions);
  EXPECT_EQ(out.error, kElevationDeclined);
  EXPECT_EQ(elevations, 1);
}

}  // namespace
}  // namespace vlvpn
