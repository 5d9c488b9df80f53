// The service's checks on what a client asks: commands, OpenVPN's options, profiles.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "service/openvpn_policy.h"
#include "service/request.h"

namespace vlvpn::service {
namespace {

using ::testing::HasSubstr;

TEST(RequestTest, CommandsAndTheirFields) {
  struct Case {
    std::string line;
    bool ok;
    Command command;
  };
  const Case cases[] = {
      {"PING", true, Command::kPing},
      {"OPENVPN_STATUS\r", true, Command::kStatus},
      {"OPENVPN_STOP", true, Command::kStop},
      {"DISABLE", true, Command::kDisable},
      {"BLOCK_IPV6", true, Command::kBlockIpv6},
      {"UNBLOCK_IPV6", true, Command::kUnblockIpv6},
      {"ENABLE any 1194 1 none /opt/Velunor VPN/VLVPNDesk", true, Command::kEnable},
      {"OPENVPN_START\t/usr/sbin/openvpn\t--config \"/a b/c.ovpn\"", true, Command::kStart},
      {"OPENVPN_START\t\t--config x", false, Command::kPing},
      {"OPENVPN_START /usr/sbin/openvpn --config x", false, Command::kPing},
      {"ENABLE udp 70000 1 none p", false, Command::kPing},
      {"ENABLE udp -1 1 none p", false, Command::kPing},
      {"ENABLE udp 1194 2 none p", false, Command::kPing},
      {"ENABLE udp", false, Command::kPing},
      {"ping", false, Command::kPing},
      {"", false, Command::kPing},
  };
  for (const Case& c : cases) {
    const ParsedRequest parsed = ParseRequest(c.line);
    EXPECT_EQ(parsed.ok, c.ok) << c.line;
    if (c.ok) {
      EXPECT_EQ(parsed.request.command, c.command) << c.line;
    } else {
      EXPECT_FALSE(parsed.error.empty()) << c.line;
    }
  }
  const ParsedRequest start = ParseRequest("OPENVPN_START\t/usr/sbin/openvpn\t--config \"/a b/c.ovpn\" --verb 3");
  EXPECT_EQ(start.request.start.program, "/usr/sbin/openvpn");
  EXPECT_EQ(start.request.start.arguments, "--config \"/a b/c.ovpn\" --verb 3");
}

TEST(RequestTest, EnableKeepsTheKillSwitchWhateverFactsItCannotUse) {
  struct Case {
    std::string line;
    bool udp, tcp;
    std::uint16_t port;
    bool block;
    std::vector<std::string> addresses;
  };
  const Case cases[] = {
      {"ENABLE udp 1194 1 198.18.0.2,198.18.0.3 /p", true, false, 1194, true, {"198.18.0.2", "198.18.0.3"}},
      {"ENABLE tcp-client 443 0 198.18.0.2 /p", false, true, 443, false, {"198.18.0.2"}},
      {"ENABLE any 0 1 none /opt/a b/c", true, true, 0, true, {}},
      // An unknown word is both protocols; no address can smuggle rule text in.
      {"ENABLE sctp 1 1 198.18.0.2,1.2.3.4};flush,::1,256.1.1.1,01.2.3.4x /p", true, true, 1, true,
       {"198.18.0.2"}},
  };
  for (const Case& c : cases) {
    const ParsedRequest parsed = ParseRequest(c.line);
    ASSERT_TRUE(parsed.ok) << c.line;
    const EnableRequest& enable = parsed.request.enable;
    EXPECT_EQ(enable.udp, c.udp) << c.line;
    EXPECT_EQ(enable.tcp, c.tcp) << c.line;
    EXPECT_EQ(enable.port, c.port) << c.line;
    EXPECT_EQ(enable.block, c.block) << c.line;
    EXPECT_EQ(enable.addresses, c.addresses) << c.line;
  }
}

const std::string kClientTail =
    " --management 127.0.0.1 11940 --verb 3 --connect-retry 2 --connect-timeout 10 --connect-retry-max 5"
    " --ping 10 --ping-restart 60";

TEST(OpenVpnArgumentsTest, OnlyTheClientsOwnOptions) {
  const CheckedArguments client = CheckOpenVpnArguments(
      "--config \"/home/u/p/a b.ovpn\" --auth-user-pass \"/home/u/p/auth.txt\" --log \"/home/u/p/openvpn.log\"" +
      kClientTail);
  ASSERT_TRUE(client.arguments) << client.error;
  EXPECT_EQ(client.arguments->config, "/home/u/p/a b.ovpn");
  EXPECT_EQ(client.arguments->credentials, std::filesystem::path("/home/u/p/auth.txt"));
  EXPECT_EQ(client.arguments->log, std::filesystem::path("/home/u/p/openvpn.log"));
  EXPECT_EQ(client.arguments->management_port, 11940);
  EXPECT_EQ(client.arguments->tuning.size(), 12u);

  struct Case {
    std::string arguments;
    std::string named;  // in the refusal
  };
  const Case refused[] = {
      {"--config /c.ovpn --up /tmp/x.sh", "--up"},
      {"--config /c.ovpn --script-security 3", "--script-security"},
      {"--config /c.ovpn --config /other.ovpn", "--config"},
      {"--config /c.ovpn --management 0.0.0.0 11940", "--management"},
      {"--config /c.ovpn --management 127.0.0.1 0", "--management"},
      {"--config /c.ovpn --management 127.0.0.1 99999", "--management"},
      {"--config /c.ovpn --verb -1", "--verb"},
      {"--config /c.ovpn --verb", "--verb"},
      {"--config /c.ovpn --windows-driver tap-windows6", "--windows-driver"},
      {"--config relative.ovpn", "absolute"},
      {"--log /tmp/l", "--config"},
      {"--config /c.ovpn \"--plugin\" /x.so", "--plugin"},
  };
  for (const Case& c : refused) {
    const CheckedArguments checked = CheckOpenVpnArguments(c.arguments);
    EXPECT_FALSE(checked.arguments) << c.arguments;
    EXPECT_THAT(checked.error, HasSubstr(c.named)) << c.arguments;
  }
}

TEST(ProfileReviewTest, DirectivesThatRunOrWriteAreRefusedByName) {
  const std::string forbidden[] = {
      "plugin /tmp/evil.so",  "up /tmp/x.sh",       "down /tmp/x.sh",         "route-up /tmp/x.sh",
      "route-pre-down /x",    "ipchange /x",        "tls-verify /x",          "auth-user-pass-verify /x via-env",
      "learn-address /x",     "client-connect /x",  "script-security 2",      "iproute /x",
      "log /etc/passwd",      "log-append /x",      "status /etc/passwd",     "writepid /etc/passwd",
      "cd /etc",              "chroot /x",          "daemon",                 "config /etc/other.conf",
      "management 0.0.0.0 1", "dev-node /dev/sda",  "tmp-dir /etc",           "engine dynamic",
      "providers legacy",     "pkcs11-providers /x.so"};
  for (const std::string& line : forbidden) {
    const std::string name = line.substr(0, line.find(' '));
    for (const std::string& written : {line, "  --" + line, "setenv opt " + line, "setenv opt setenv opt " + line}) {
      const ReviewedProfile profile = ReviewProfile("client\ndev tun\n" + written + "\nremote 198.18.0.2 1194\n");
      EXPECT_THAT(profile.error, HasSubstr("\"" + name + "\"")) << written;
    }
  }
  struct Case {
    std::string text;
    std::string error;
  };
  const Case malformed[] = {
      {"client\n<script>\nrm -rf /\n</script>\n", "<script>"},
      {"client\n<ca>\nno end\n", "without its end"},
      {"setenv X " + std::string(250, 'A') + "up /tmp/x.sh\n", "longer than 255"},
      {std::string("client\n\0up /x\n", 14), "not text"},
      {"crl-verify /etc/crl dir\n", "crl-verify dir"},
  };
  for (const Case& c : malformed) EXPECT_THAT(ReviewProfile(c.text).error, HasSubstr(c.error)) << c.text;
}

TEST(ProfileReviewTest, FilesAreListedAndReplacedByTheirCopies) {
  const std::string text =
      "\xEF\xBB\xBF# a provider's profile\r\n"
      "client\r\n"
      "remote vpn.example 1194 udp\r\n"
      "ca \"my keys/ca.crt\" # with a space\r\n"
      "cert /home/u/c.crt\r\n"
      "; key old.key\r\n"
      "key 'k.key'\r\n"
      "tls-auth ta.key 1\r\n"
      "setenv opt tls-crypt tc.key\r\n"
      "auth-user-pass\r\n"
      "http-proxy proxy.example 8080 auto\r\n"
      "socks-proxy 198.18.0.9 1080 socks.auth\r\n"
      "<tls-crypt-v2>\r\n"
      "up /inline/data/is/not/a/directive\r\n"
      "</tls-crypt-v2>\r\n"
      "<connection>\r\n"
      "remote 198.18.0.3 443 tcp\r\n"
      "</connection>\r\n";
  const ReviewedProfile profile = ReviewProfile(text);
  ASSERT_EQ(profile.error, "");
  std::vector<std::string> paths;
  for (const NamedFile& file : profile.files) paths.push_back(file.path);
  EXPECT_EQ(paths, (std::vector<std::string>{"my keys/ca.crt", "/home/u/c.crt", "k.key", "ta.key", "tc.key", "socks.auth"}));

  std::vector<std::string> copies;
  for (std::size_t i = 0; i < paths.size(); ++i) copies.push_back("/run/vlvpn/openvpn/file-" + std::to_string(i));
  const std::string rewritten = RewriteProfile(profile, copies).value_or("");
  // What OpenVPN will read: every path is one of our copies, and the rest unchanged.
  const ReviewedProfile again = ReviewProfile(rewritten);
  ASSERT_EQ(again.error, "");
  std::vector<std::string> now;
  for (const NamedFile& file : again.files) now.push_back(file.path);
  EXPECT_EQ(now, copies);
  EXPECT_THAT(rewritten, HasSubstr("tls-auth \"/run/vlvpn/openvpn/file-3\" 1\n"));
  EXPECT_THAT(rewritten, HasSubstr("up /inline/data/is/not/a/directive\n</tls-crypt-v2>\n"));
  EXPECT_THAT(rewritten, ::testing::Not(HasSubstr("old.key")));

  // A line that fits only with its short path would be cut by OpenVPN once rewritten,
  // and its tail read as a directive of its own.
  const std::string padded = "ca x \"" + std::string(220, 'A') + "\" plugin /tmp/evil.so\n";
  const ReviewedProfile tight = ReviewProfile(padded);
  ASSERT_EQ(tight.error, "");
  EXPECT_FALSE(RewriteProfile(tight, {"/run/vlvpn/openvpn/file-0"}));
  EXPECT_TRUE(RewriteProfile(tight, {"/y"}));
}

}  // namespace
}  // namespace vlvpn::service
