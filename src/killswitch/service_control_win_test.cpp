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
#include "support/temp_folder.h"
#include "tunnel/command_line.h"

namespace vlvpn {
namespace {

using namespace std::chrono_literals;

class InstalledFakeService : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string tag = std::to_string(std::random_device{}());
    endpoint_ = {"\\\\.\\pipe\\VLVPNTest-service-" + tag, "VLVPNKillSwitchTest" + tag};
    manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager_, nullptr);
    const std::wstring command = L"\"" + testing::SiblingProgram("fake-killswitch").wstring() + L"\" --service --pipe " +
                                 Utf8ToWide(endpoint_.pipe) + L" --record \"" + (temp_.path() / "recorded").wstring() +
                                 L"\"";
    service_ = CreateServiceW(manager_, Utf8ToWide(endpoint_.service).c_str(), L"VelunorVPN Kill Switch (test)",
                              SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                              SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(service_, nullptr) << GetLastError();
  }
  void TearDown() override {
    if (service_ != nullptr) {
      SERVICE_STATUS status{};
      ControlService(service_, SERVICE_CONTROL_STOP, &status);
      DeleteService(service_);
      CloseServiceHandle(service_);
    }
    if (manager_ != nullptr) CloseServiceHandle(manager_);
  }

  testing::TempFolder temp_;
  KillSwitchEndpoint endpoint_;
  SC_HANDLE manager_ = nullptr;
  SC_HANDLE service_ = nullptr;
};

TEST_F(InstalledFakeService, RegistrationIsSeenOnlyForTheInstalledName) {
  EXPECT_TRUE(IsServiceRegistered(endpoint_));
  EXPECT_FALSE(IsServiceRegistered({endpoint_.pipe, "VLVPNNoSuchServiceAtAll"}));
}

TEST_F(InstalledFakeService, StoppedServiceIsStartedThenLaunchesOpenVpn) {
  PipeTimings timings;
  timings.open_deadline = 100ms;
  const KillSwitchClient client(endpoint_, [this] { return IsServiceRegistered(endpoint_); }, timings);
  LaunchActions actions = SystemLaunchActions(client);
  int pings_before_start = -1;
  int pings = 0;
  const auto transact = actions.transact;
  actions.transact = [&](std::string_view command) {
    if (command == "PING") ++pings;
    return transact(command);
  };
  const auto start_service = actions.start_service;
  actions.start_service = [&] {
    pings_before_start = pings;
    return start_service();
  };
  actions.sleep = [](std::chrono::milliseconds) {};

  WriteFileAtomically(temp_.path() / "c.ovpn", "#fake state CONNECTED\n");
  const std::string args = BuildOpenVpnArguments(temp_.path() / "c.ovpn", std::nullopt, temp_.path() / "openvpn.log");
  const LaunchOutcome out = LaunchOpenVpn(testing::SiblingProgram("fake-openvpn"), args, actions);
  ASSERT_TRUE(out.ok) << out.error;
  EXPECT_TRUE(out.via_service);
  EXPECT_EQ(pings_before_start, 11) << "a stopped service is pinged 11 times before it is started";
  ASSERT_NE(out.process, nullptr);
  EXPECT_FALSE(out.process->HasExited());
  EXPECT_EQ(StartKillSwitchService(endpoint_), ServiceStart::kAlreadyRunning);

  client.Transact("OPENVPN_STOP");
  EXPECT_TRUE(out.process->WaitForExit(5s));
}

}  // namespace
}  // namespace vlvpn
