#include "killswitch/pipe_client.h"

#include <gtest/gtest.h>

#include <chrono>

#include "killswitch/launch.h"
#include "support/fake_service_fixture.h"

namespace vlvpn {
namespace {

using namespace std::chrono_literals;

TEST(KillSwitchCommands, OnlySingleLinesAreSentAndRepliesAreTrimmedAtTheEnd) {
  const std::pair<std::string, bool> cases[] = {
      {"PING", true},
      {"ENABLE udp 1194 1 1.2.3.4 C:\\Program Files\\Velunor VPN\\VLVPNDesk.exe", true},
      {"OPENVPN_START\tC:\\ovpn\\openvpn.exe\t--config \"x\"", true},
      {"PING\nOPENVPN_STOP", false},
      {"PING\r", false},
      {std::string("PI\0NG", 5), false},
      {"OPENVPN_START\tC:\\a\tb.exe\t--config \"x\"", false},
      {"OPENVPN_START\tC:\\a.exe\t--config \"x\"\t--up evil", false},
  };
  for (const auto& [command, safe] : cases) EXPECT_EQ(IsSafeKillSwitchCommand(command), safe) << command;

  EXPECT_EQ(TrimReply("PONG\r\n"), "PONG");
  EXPECT_EQ(TrimReply("OK 12 \n\r "), "OK 12");
  EXPECT_EQ(TrimReply("  lead"), "  lead");
  EXPECT_EQ(TrimReply("\n"), "");
}

TEST(KillSwitchClient, TalksToTheServiceOneCommandPerConnection) {
  const testing::FakeKillSwitch service("ENABLE => OK enabled\nBLOCK_IPV6 => <delay 100> done\n");
  const KillSwitchClient client = service.Client();
  EXPECT_EQ(client.Transact("PING"), "PONG");
  EXPECT_EQ(client.Transact("ENABLE udp 1194 1 none /opt/app"), "OK enabled");
  EXPECT_EQ(client.Transact("BLOCK_IPV6"), "done");
  EXPECT_EQ(client.Transact("PING\nOPENVPN_STOP"), "") << "refused before anything is sent";
  EXPECT_EQ(service.RecordedText(), "PING\nENABLE udp 1194 1 none /opt/app\nBLOCK_IPV6\n");
}

TEST(KillSwitchClient, FailuresAreTheEmptyReply) {
  const testing::FakeKillSwitch service("PING #1 => <silence>\nOPENVPN_STATUS => <hang>\nENABLE => " +
                                        std::string(600, 'x') + "\n");
  const KillSwitchClient client = service.Client();
  EXPECT_EQ(client.Transact("PING"), "") << "closed without a word";
  EXPECT_EQ(client.Transact("PING"), "PONG");
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Transact("OPENVPN_STATUS"), "") << "no reply within the read time-out";
  EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);
  EXPECT_EQ(client.Transact("ENABLE x"), std::string(kMaxReply, 'x')) << "one read of at most 511 bytes";
}

TEST(KillSwitchClient, AbsentServiceIsWaitedForOnlyWhenRegisteredAndTheLaunchAsksForElevation) {
  testing::TempFolder temp;
#ifdef _WIN32
  const std::string pipe = "\\\\.\\pipe\\VLVPNTest-absent";
#else
  const std::string pipe = PathToUtf8(temp.path() / "absent.sock");
#endif
  PipeTimings timings = testing::FakeKillSwitch::FastTimings();
  timings.open_deadline = 1000ms;
  for (const bool registered : {false, true}) {
    const KillSwitchClient client(
        {pipe, ""}, [registered] { return registered; }, timings);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.Transact("PING"), "");
    // Unregistered: given up at once; registered: retried until the open deadline.
    EXPECT_EQ(std::chrono::steady_clock::now() - start >= 1000ms, registered) << registered;
  }

  // With the system's own actions where no kill-switch service is installed: one PING, then elevation.
  const KillSwitchClient client({pipe, "VLVPNTestNoSuchService"}, [] { return false; });
  LaunchActions actions = SystemLaunchActions(client);
  int elevations = 0;
  actions.start_elevated = [&](const std::filesystem::path&, const std::string&) {
    ++elevations;
    return ElevatedStart{false, nullptr, 1223, true};
  };
  const LaunchOutcome out = LaunchOpenVpn(testing::SiblingProgram("fake-openvpn"), "--config \"x\"", actions);
  EXPECT_EQ(out.error, kElevationDeclined);
  EXPECT_EQ(elevations, 1);
}

}  // namespace
}  // namespace vlvpn
