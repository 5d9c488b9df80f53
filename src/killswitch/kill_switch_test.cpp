#include "killswitch/kill_switch.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>

namespace vlvpn {
namespace {

using ::testing::ElementsAre;

// Shapes of real profiles: every server OpenVPN may try is allowed, on a port and
// protocol that fit all of them (0 and "" when they differ), never port 0 for one that
// has a port.
TEST(KillSwitchFacts, EndpointFromTheProfile) {
  struct Case {
    std::string profile;
    std::string hosts;  // comma-separated
    std::int32_t port;
    std::string protocol;
  };
  const Case cases[] = {
      {"client\nremote only.example\n# remote x 1\n;remote y 2\n", "only.example", 1194, "udp"},
      {"remote a.example 1194\nremote b.example 1194\nremote a.example\nremote-random\n",
       "a.example,b.example", 1194, "udp"},
      {"client\nproto tcp\nremote a.example 443\n  remote b.example 1194 udp\n", "a.example,b.example", 0,
       ""},
      {"port 443\nremote vpn.example\nproto tcp-client\n", "vpn.example", 443, "tcp"},
      {"remote vpn.example\nrport 8443\nproto udp6\n", "vpn.example", 8443, "udp"},
      {"--remote 198.18.0.2 1195 tcp4-client\n", "198.18.0.2", 1195, "tcp"},
      {"<connection>\nremote a.example 443 tcp\n</connection>\n<connection>\nremote b.example\nport 443\n"
       "proto tcp\n</connection>\nproto udp\n",
       "a.example,b.example", 443, "tcp"},
      {"<connection>\nremote a.example\n</connection>\n<connection>\nremote b.example 1195\n</connection>\n",
       "a.example,b.example", 0, "udp"},
      {"remote 2001:db8::1 1194 udp6\n", "2001:db8::1", 1194, "udp"},
      {"remote vpn.example -8443\nremote vpn.example 65536\n", "vpn.example", 1194, "udp"},
      {"remote vpn.example 65535\n", "vpn.example", 65535, "udp"},
      {"client\ndev tun\n", "", 0, ""},
  };
  for (const Case& c : cases) {
    const ServerEndpoint endpoint = ExtractEndpoint(c.profile);
    std::string hosts;
    for (const std::string& host : endpoint.hosts) hosts += (hosts.empty() ? "" : ",") + host;
    EXPECT_EQ(hosts, c.hosts) << c.profile;
    EXPECT_EQ(endpoint.port, c.port) << c.profile;
    EXPECT_EQ(endpoint.protocol, c.protocol) << c.profile;
  }
}

TEST(KillSwitchFacts, FilesRoundTripAndReadLeniently) {
  const KillSwitchFacts facts{"udp", 1194, "203.0.113.7,203.0.113.8"};
  EXPECT_EQ(KillSwitchFileText(facts), "udp\n1194\n203.0.113.7,203.0.113.8");
  EXPECT_EQ(KillSwitchFileText(ParseKillSwitchFile("udp \r\n1194\r\n203.0.113.7\r\n")),
            "udp\n1194\n203.0.113.7");
  const std::pair<std::string, std::int32_t> ports[] = {{"abc", 0}, {"", 0},   {"  443xyz", 443},
                                                        {"-5", -5}, {"+7", 7}, {"99999999999", 0}};
  for (const auto& [line, port] : ports) EXPECT_EQ(ParsePortLine(line), port) << line;
  EXPECT_EQ(ParseKillSwitchFile("").port, 0);
  for (const Switches switches : {Switches{true, false}, Switches{false, true}}) {
    const std::optional<Switches> read = ParseSwitchesFile(SwitchesFileText(switches));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->kill_switch, switches.kill_switch);
    EXPECT_EQ(read->block_ipv6, switches.block_ipv6);
  }
  EXPECT_TRUE(ParseSwitchesFile("killswitch on\r\nblockipv6 off\r\n"));
  for (const char* broken : {"", "killswitch on\n", "killswitch yes\nblockipv6 on\n"}) {
    EXPECT_FALSE(ParseSwitchesFile(broken)) << broken;
  }
  EXPECT_EQ(ParseActiveFile("p1\r\n "), "p1");
}

// Every call of the service as the line it sends, from the one place the texts live.
TEST(KillSwitchService, CallsAndTheirLines) {
  std::vector<std::string> sent;
  std::string reply;
  const KillSwitchService service(
      [&](std::string_view command) {
        sent.emplace_back(command);
        return reply;
      },
      "C:\\Program Files\\Velunor VPN\\VLVPNDesk.exe");
  const std::string program = " C:\\Program Files\\Velunor VPN\\VLVPNDesk.exe";
  service.Enable({"udp", 1194, "1.2.3.4,5.6.7.8"}, 1);
  service.Enable({"", 443, "1.2.3.4"}, 1);
  service.Enable({"udp", 1194, ""}, 1);  // nothing known to let through: closed all the same
  service.Enable({"", 0, ""}, 0);
  service.Disable();
  service.BlockIpv6(true);
  service.BlockIpv6(false);
  service.StopOpenVpn();
  EXPECT_EQ(service.StartOpenVpn("/usr/sbin/openvpn", "--config \"a b\""), "");
  EXPECT_THAT(sent, ElementsAre("ENABLE udp 1194 1 1.2.3.4,5.6.7.8" + program,
                                "ENABLE any 443 1 1.2.3.4" + program, "ENABLE udp 1194 1 none" + program,
                                "ENABLE any 0 0 none" + program, "DISABLE", "BLOCK_IPV6", "UNBLOCK_IPV6",
                                "OPENVPN_STOP", "OPENVPN_START\t/usr/sbin/openvpn\t--config \"a b\""));

  const std::tuple<std::string, bool, bool, bool, std::string> replies[] = {
      {"PONG", true, false, false, ""},
      {"", false, false, false, ""},
      {"RUNNING 4242", false, true, false, "4242"},
      {"RUNNING", false, true, false, ""},
      {"STOPPED", false, false, true, ""},
      {"STOPPED RUNNING 7", false, false, false, "RUNNING 7"},  // says both: neither is believed
  };
  for (const auto& [text, pong, running, stopped, detail] : replies) {
    reply = text;
    EXPECT_EQ(service.Ping(), pong) << text;
    const auto status = service.Status();
    EXPECT_EQ(status.running, running) << text;
    EXPECT_EQ(status.stopped, stopped) << text;
    EXPECT_EQ(status.detail, detail) << text;
  }
}

}  // namespace
}  // namespace vlvpn
