// The kill-switch service as a real Windows service: the fake one, installed with the
// service control manager, found, started and used to launch the fake OpenVPN.
#include <windows.h>

#include <gtest/gtest.h>

#include <random>

#include "common/file_io.h"
#include "common/text.h"
#include "killswitch/launch.h"
#include "killswitch/service_control.h"
#include "support/child_process.h"
#include "support/fake_service_fixture.h"
#include "support/tunnel_fixture.h"
#include "support/installed_service.h"
#include "support/temp_folder.h"
#include "common/arguments.h"

namespace vlvpn {
namespace {

using namespace std::chrono_literals;

// Installed, not started: the product has to start it.
class InstalledFakeService : public ::testing::Test {
 protected:
  std::string Command() const {
    return QuoteArgument(PathToUtf8(testing::SiblingProgram("fake-killswitch"))) + " --service --pipe " +
           QuoteArgument(endpoint_.pipe) + " --record " +
           QuoteArgument(PathToUtf8(temp_.path() / "recorded"));
  }

  testing::TempFolder temp_;
  std::string tag_ = std::to_string(std::random_device{}());
  KillSwitchEndpoint endpoint_{"\\\\.\\pipe\\VLVPNTest-service-" + tag_, "VLVPNKillSwitchTest" + tag_};
  testing::InstalledService service_{endpoint_.service, Command()};
};

// Registered under its name alone (the launch below would otherwise ask for elevation).
TEST_F(InstalledFakeService, StoppedServiceIsStartedThenLaunchesOpenVpn) {
  ASSERT_TRUE(service_.installed()) << service_.error();
  EXPECT_FALSE(IsServiceRegistered({endpoint_.pipe, "VLVPNNoSuchServiceAtAll"}));
  PipeTimings timings;
  timings.open_deadline = 100ms;
  const KillSwitchClient client(
      endpoint_, [this] { return IsServiceRegistered(endpoint_); }, timings);
  LaunchActions actions = SystemLaunchActions(client);
  actions.sleep = [](std::chrono::milliseconds) {};

  WriteFileAtomically(temp_.path() / "c.ovpn", "#fake state CONNECTED\n");
  const std::string args = testing::FakeOpenVpnArguments(temp_.path() / "c.ovpn", temp_.path() / "openvpn.log", testing::FreePort());
  const LaunchOutcome out = LaunchOpenVpn(testing::SiblingProgram("fake-openvpn"), args, actions);
  ASSERT_TRUE(out.ok) << out.error;
  EXPECT_TRUE(out.via_service) << "answered, so the launch started it";
  ASSERT_NE(out.process, nullptr);
  EXPECT_FALSE(out.process->HasExited());
  EXPECT_EQ(StartKillSwitchService(endpoint_), ServiceStart::kAlreadyRunning);

  client.Transact("OPENVPN_STOP");
  EXPECT_TRUE(out.process->WaitForExit(5s));
}

}  // namespace
}  // namespace vlvpn
