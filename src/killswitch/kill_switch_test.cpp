#include "killswitch/kill_switch.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "common/file_io.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

using ::testing::ElementsAre;
using namespace std::chrono_literals;

TEST(KillSwitchFacts, EndpointFromTheProfile) {
  const ServerEndpoint endpoint = ExtractEndpoint(
      "client\nproto tcp\nremote a.example 443\n  remote b.example 1194 udp\nremote-random\n");
  EXPECT_EQ(endpoint.host, "b.example");
  EXPECT_EQ(endpoint.port, 1194);
  EXPECT_EQ(endpoint.protocol, "tcp");
  const ServerEndpoint bare = ExtractEndpoint("client\nremote only.example\n# remote x 1\n");
  EXPECT_EQ(bare.host, "only.example");
  EXPECT_EQ(bare.port, 0);
  EXPECT_EQ(bare.protocol, "");
}

TEST(KillSwitchFacts, FilesRoundTripAndReadLeniently) {
  const KillSwitchFacts facts{"udp", 1194, "203.0.113.7,203.0.113.8"};
  EXPECT_EQ(KillSwitchFileText(facts), "udp\n1194\n203.0.113.7,203.0.113.8");
  const KillSwitchFacts crlf = ParseKillSwitchFile("udp \r\n1194\r\n203.0.113.7\r\n");
  EXPECT_EQ(crlf.protocol, "udp");
  EXPECT_EQ(crlf.port, 1194);
  EXPECT_EQ(crlf.addresses, "203.0.113.7");
  const std::pair<std::string, std::int32_t> ports[] = {{"abc", 0}, {"", 0},   {"  443xyz", 443},
                                                        {"-5", -5}, {"+7", 7}, {"99999999999", 0}};
  for (const auto& [line, port] : ports) EXPECT_EQ(ParsePortLine(line), port) << line;
  EXPECT_EQ(ParseKillSwitchFile("").port, 0);
  EXPECT_EQ(ParseActiveFile("p1\r\n "), "p1");
}

TEST(KillSwitchFacts, EnableCommand) {
  const std::string program = "C:\\Program Files\\Velunor VPN\\VLVPNDesk.exe";
  EXPECT_EQ(EnableCommand({"udp", 1194, "1.2.3.4,5.6.7.8"}, 1, program),
            "ENABLE udp 1194 1 1.2.3.4,5.6.7.8 " + program);
  EXPECT_EQ(EnableCommand({"", 443, "1.2.3.4"}, 1, program), "ENABLE any 443 1 1.2.3.4 " + program);
  EXPECT_EQ(EnableCommand({"udp", 1194, ""}, 1, program), "") << "nothing to let through";
  EXPECT_EQ(EnableCommand({"", 0, ""}, 0, program), "ENABLE any 0 0 none " + program);
}

class KillSwitchControlTest : public ::testing::Test {
 protected:
  KillSwitchControl::Actions Actions() {
    return {[this](std::string_view command) {
              std::lock_guard guard(lock_);
              sent_.emplace_back(command);
              return std::string("OK");
            },
            [this](const std::string& host) {
              std::this_thread::sleep_for(resolve_delay_);
              return host == "vpn.example" ? std::vector<std::string>{"203.0.113.7", "203.0.113.8"}
                                           : std::vector<std::string>{};
            },
            [](std::chrono::milliseconds) {}, "/opt/velunor/VLVPNDesk"};
  }
  std::vector<std::string> Sent() {
    std::lock_guard guard(lock_);
    return std::exchange(sent_, {});
  }
  std::filesystem::path Config(const std::string& text) {
    WriteFileAtomically(root_.path() / "c.ovpn", text);
    return root_.path() / "c.ovpn";
  }
  std::optional<std::string> File(const char* name) {
    return ReadFileBytes(root_.path() / "VLVPNDesk" / name);
  }

  testing::TempFolder root_;
  DataLocations locations_{[this] { return root_.path(); }};
  TunnelState state_;
  std::mutex lock_;
  std::vector<std::string> sent_;
  std::chrono::milliseconds resolve_delay_{0};
  std::unique_ptr<KillSwitchControl> control_;

  void SetUp() override {
    std::filesystem::create_directories(root_.path() / "VLVPNDesk");
    control_ = std::make_unique<KillSwitchControl>(state_, locations_, Actions());
  }
};

TEST_F(KillSwitchControlTest, ConnectWithTheKillSwitchOn) {
  control_->enabled = true;
  control_->PrepareForConnect(Config("client\nremote vpn.example 1194\n"));
  control_->ApplyIpv6ForConnect();
  EXPECT_THAT(Sent(),
              ElementsAre("DISABLE", "ENABLE any 1194 1 203.0.113.7,203.0.113.8 /opt/velunor/VLVPNDesk",
                          "BLOCK_IPV6"));
  EXPECT_EQ(File("killswitch.txt"), "\n1194\n203.0.113.7,203.0.113.8");
}

TEST_F(KillSwitchControlTest, ConnectWithTheKillSwitchOffResolvesInTheBackground) {
  control_->block_ipv6 = false;
  control_->PrepareForConnect(Config("proto udp\nremote vpn.example 1194\n"));
  control_->ApplyIpv6ForConnect();
  EXPECT_THAT(Sent(), ElementsAre("DISABLE", "UNBLOCK_IPV6"));
  control_.reset();  // waits for the background resolution
  EXPECT_EQ(File("killswitch.txt"), "udp\n1194\n203.0.113.7,203.0.113.8");
}

TEST_F(KillSwitchControlTest, UnresolvableOrMissingServerKeepsWhatWasKnown) {
  control_->enabled = true;
  control_->PrepareForConnect(Config("remote no-such.example 1194\n"));
  EXPECT_THAT(Sent(), ElementsAre("DISABLE")) << "no address known: no ENABLE";
  state_.Update([](TunnelRecord& r) { r.server_addresses = "198.51.100.1"; });
  control_->PrepareForConnect(Config("client\n"));
  EXPECT_THAT(Sent(), ElementsAre("DISABLE", "ENABLE any 0 1 198.51.100.1 /opt/velunor/VLVPNDesk"));
}

TEST_F(KillSwitchControlTest, StaleBackgroundResolutionStoresNothing) {
  resolve_delay_ = 200ms;
  control_ = std::make_unique<KillSwitchControl>(state_, locations_, Actions());
  control_->PrepareForConnect(Config("remote vpn.example 1194\n"));
  control_->OnUserDisconnect();  // arrives while the resolution still runs
  control_.reset();
  EXPECT_EQ(File("killswitch.txt"), std::nullopt);
  EXPECT_EQ(state_.Snapshot().server_addresses, "");
}

TEST_F(KillSwitchControlTest, UserDisconnectRemovesTheFilesAndLoosensTheSwitch) {
  WriteFileAtomically(locations_.ActiveFile(), "p1");
  WriteFileAtomically(locations_.KillSwitchFile(), "udp\n1194\n1.2.3.4");
  control_->enabled = true;
  control_->OnUserDisconnect();
  EXPECT_THAT(Sent(), ElementsAre("UNBLOCK_IPV6", "ENABLE any 0 0 none /opt/velunor/VLVPNDesk"));
  EXPECT_EQ(File("active.txt"), std::nullopt);
  EXPECT_EQ(File("killswitch.txt"), std::nullopt);
  control_->enabled = false;
  control_->OnUserDisconnect();
  EXPECT_THAT(Sent(), ElementsAre("UNBLOCK_IPV6", "DISABLE"));
}

TEST_F(KillSwitchControlTest, DropAndConnectedHooks) {
  control_->OnConnected();
  state_.Update([](TunnelRecord& r) { r.server_addresses = "1.2.3.4"; });
  control_->enabled = true;
  state_.tunnel_wanted = true;
  control_->OnDrop();
  state_.tunnel_wanted = false;
  control_->OnDrop();
  EXPECT_THAT(Sent(), ElementsAre("BLOCK_IPV6", "UNBLOCK_IPV6",
                                  "ENABLE any 0 1 1.2.3.4 /opt/velunor/VLVPNDesk", "UNBLOCK_IPV6"));
}

TEST_F(KillSwitchControlTest, MethodWorkersByState) {
  struct Case {
    std::string state;
    std::vector<std::string> enable, disable, block, unblock;
  };
  const std::string enable = "ENABLE any 0 1 1.2.3.4 /opt/velunor/VLVPNDesk";
  const Case cases[] = {
      {"connected", {enable}, {"DISABLE", "BLOCK_IPV6"}, {"BLOCK_IPV6"}, {"UNBLOCK_IPV6"}},
      {"connecting", {}, {"DISABLE", "BLOCK_IPV6"}, {"BLOCK_IPV6"}, {"UNBLOCK_IPV6"}},
      {"disconnected", {}, {"DISABLE"}, {}, {"UNBLOCK_IPV6"}},
  };
  state_.Update([](TunnelRecord& r) { r.server_addresses = "1.2.3.4"; });
  for (const auto& c : cases) {
    state_.Update([&c](TunnelRecord& r) { r.state = c.state; });
    control_->SetEnabledWorker(true, control_->TakeKillSwitchTicket());
    EXPECT_EQ(Sent(), c.enable) << c.state;
    control_->SetEnabledWorker(false, control_->TakeKillSwitchTicket());
    EXPECT_EQ(Sent(), c.disable) << c.state;
    control_->SetBlockIpv6Worker(true, control_->TakeIpv6Ticket());
    EXPECT_EQ(Sent(), c.block) << c.state;
    control_->SetBlockIpv6Worker(false, control_->TakeIpv6Ticket());
    EXPECT_EQ(Sent(), c.unblock) << c.state;
  }
}

TEST_F(KillSwitchControlTest, TheLastSwitchWinsWhateverOrderWorkersRun) {
  state_.Update([](TunnelRecord& r) {
    r.state = "connected";
    r.server_addresses = "1.2.3.4";
  });
  const std::uint64_t on = control_->TakeKillSwitchTicket();   // the user turned it on...
  const std::uint64_t off = control_->TakeKillSwitchTicket();  // ...then off
  control_->SetEnabledWorker(false, off);
  control_->SetEnabledWorker(true, on);  // the older worker runs last
  EXPECT_THAT(Sent(), ElementsAre("DISABLE", "BLOCK_IPV6"));
}

}  // namespace
}  // namespace vlvpn
