// The service's checks on what a client asks: commands, OpenVPN's options, profiles.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "service/openvpn_policy.h"
#include "service/profile_syntax.h"
#include "service/request.h"

namespace vlvpn::service {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST(RequestTest, CommandsAndTheirFields) {
  const std::pair<std::string, Command> accepted[] = {
      {"PING", Command::kPing},
      {"OPENVPN_STATUS\r", Command::kStatus},
      {"OPENVPN_STOP", Command::kStop},
      {"DISABLE", Command::kDisable},
      {"BLOCK_IPV6", Command::kBlockIpv6},
      {"UNBLOCK_IPV6", Command::kUnblockIpv6},
      {"ENABLE any 1194 1 none /opt/Velunor VPN/VLVPNDesk", Command::kEnable},
      {"OPENVPN_START\t/usr/sbin/openvpn\t--config \"/a b/c.ovpn\"", Command::kStart},
  };
  for (const auto& [line, command] : accepted) {
    const ParsedRequest parsed = ParseRequest(line);
    EXPECT_TRUE(parsed.ok) << line;
    EXPECT_EQ(parsed.request.command, command) << line;
  }
  for (const char* line : {"OPENVPN_START\t\t--config x", "OPENVPN_START /usr/sbin/openvpn --config x",
                           "ENABLE udp 70000 1 none p", "ENABLE udp -1 1 none p", "ENABLE udp 1194 2 none p",
                           "ENABLE udp", "ping", ""}) {
    const ParsedRequest parsed = ParseRequest(line);
    EXPECT_FALSE(parsed.ok) << line;
    EXPECT_FALSE(parsed.error.empty()) << line;
  }
  const ParsedRequest start =
      ParseRequest("OPENVPN_START\t/usr/sbin/openvpn\t--config \"/a b/c.ovpn\" --verb 3");
  EXPECT_EQ(start.request.start.program, "/usr/sbin/openvpn");
  EXPECT_EQ(start.request.start.arguments, "--config \"/a b/c.ovpn\" --verb 3");

  // ENABLE keeps the kill switch whatever facts it cannot use: an unknown word is both
  // protocols, and no address can smuggle rule text in.
  const std::pair<std::string, EnableRequest> enables[] = {
      {"ENABLE udp 1194 1 198.18.0.2,198.18.0.3 /p", {true, false, 1194, true, {"198.18.0.2", "198.18.0.3"}}},
      {"ENABLE tcp-client 443 0 198.18.0.2 /p", {false, true, 443, false, {"198.18.0.2"}}},
      {"ENABLE any 0 1 none /opt/a b/c", {true, true, 0, true, {}}},
      {"ENABLE sctp 1 1 198.18.0.2,1.2.3.4};flush,::1,256.1.1.1,01.2.3.4x /p",
       {true, true, 1, true, {"198.18.0.2"}}},
  };
  for (const auto& [line, enable] : enables) {
    const ParsedRequest parsed = ParseRequest(line);
    EXPECT_TRUE(parsed.ok) << line;
    EXPECT_EQ(parsed.request.enable, enable) << line;
  }
}

const std::string kClientTail =
    " --management 127.0.0.1 11940 \"/home/u/p/management.txt\" --verb 3 --connect-retry 2"
    " --connect-timeout 10 --connect-retry-max 5 --ping 10 --ping-restart 60";

TEST(OpenVpnArgumentsTest, OnlyTheClientsOwnOptions) {
  const CheckedArguments client = CheckOpenVpnArguments(
      "--config \"/home/u/p/a b.ovpn\" --auth-user-pass \"/home/u/p/auth.txt\""
      " --log \"/home/u/p/openvpn.log\"" +
      kClientTail);
  ASSERT_TRUE(client.arguments) << client.error;
  EXPECT_EQ(client.arguments->config, "/home/u/p/a b.ovpn");
  EXPECT_EQ(client.arguments->credentials, std::filesystem::path("/home/u/p/auth.txt"));
  EXPECT_EQ(client.arguments->log, std::filesystem::path("/home/u/p/openvpn.log"));
  EXPECT_EQ(client.arguments->management_port, 11940);
  EXPECT_EQ(client.arguments->management_password, "/home/u/p/management.txt");
  EXPECT_EQ(client.arguments->tuning.size(), 12u);

  struct Case {
    std::string arguments;
    std::string named;  // in the refusal
  };
  const Case refused[] = {
      {"--config /c.ovpn --up /tmp/x.sh", "--up"},
      {"--config /c.ovpn --script-security 3", "--script-security"},
      {"--config /c.ovpn --config /other.ovpn", "--config"},
      {"--config /c.ovpn --management 0.0.0.0 11940 /pw", "--management"},
      {"--config /c.ovpn --management 127.0.0.1 0 /pw", "--management"},
      {"--config /c.ovpn --management 127.0.0.1 99999 /pw", "--management"},
      {"--config /c.ovpn --management 127.0.0.1 11940", "password file"},
      {"--config /c.ovpn --management 127.0.0.1 11940 pw.txt", "password file"},
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

// Directive by directive, "name arg arg" (optional ones "?name", inline ones "<name>data").
std::vector<std::string> Shapes(const std::vector<Directive>& directives) {
  std::vector<std::string> shapes;
  for (const Directive& d : directives) {
    std::string shape = (d.optional ? "?" : "") + d.name;
    if (d.inline_data) shape = "<" + d.name + ">" + *d.inline_data;
    for (const std::string& arg : d.args) shape += " " + arg;
    for (const std::string& inner : Shapes(d.block)) shape += " {" + inner + "}";
    shapes.push_back(shape);
  }
  return shapes;
}

TEST(ProfileSyntaxTest, ReadsTokensQuotesAndBlocksAsOpenVpnDoes) {
  struct Case {
    std::string text;
    std::vector<std::string> shapes;  // empty: refused, with `error` in the reason
    std::string error;
  };
  const Case cases[] = {
      // A quote opens only where a token starts, and its closing quote ends the token.
      {"setenv \"opt\"plugin /home/u/evil.so\n", {"?plugin /home/u/evil.so"}, ""},
      {"http-proxy 198.18.0.2 \"8080\"\"/etc/shadow\"\n", {"http-proxy 198.18.0.2 8080 /etc/shadow"}, ""},
      {"ca a\"b c\"\n", {"ca a\"b c\""}, ""},
      {"ca \"a \\\"b\\\\\" 'c\\d' e\\ f # comment\n", {"ca a \"b\\ c\\d e f"}, ""},
      {"  --remote 198.18.0.2 ;comment\r\n# whole line\n\n", {"remote 198.18.0.2"}, ""},
      {"setenv opt setenv opt keysize 256\n", {"?keysize 256"}, ""},
      // A block opens only on a line that is the tag alone (quoted or not).
      {"<ca>x\nplugin /x.so\n</ca> x\n", {"<ca>x", "plugin /x.so", "</ca> x"}, ""},
      {"\"<ca>\"\nAAA\n  </ca>trailing\n", {"<ca>AAA\n"}, ""},
      {"<connection>\nremote 198.18.0.3\n</connection>\n", {"connection {remote 198.18.0.3}"}, ""},
      {std::string("\xEF\xBB\xBF") + "client\n", {"client"}, ""},
      // What OpenVPN would cut, guess at or stop on is refused outright.
      {"ca \\q\n", {}, "backslash"},
      {"ca \"open\n", {}, "quote"},
      {"ca \"\"\n", {}, "empty value"},
      {"ca a\tb\"\x01\"\n", {}, "control character"},
      {"remote a a a a a a a a a a a a a a a a\n", {}, "16 values"},
      {"setenv X " + std::string(250, 'A') + "up /tmp/x.sh\n", {}, "longer than 255"},
      {std::string("client\n\0up /x\n", 14), {}, "not text"},
      {"<ca>\nno end\n", {}, "without its end"},
      {"<connection>\n<connection>\n</connection>\n</connection>\n", {}, "<connection> without its end"},
  };
  for (const Case& c : cases) {
    const ParsedProfile parsed = ParseProfile(c.text);
    EXPECT_EQ(Shapes(parsed.directives), c.shapes) << c.text;
    EXPECT_THAT(parsed.error, HasSubstr(c.error)) << c.text;
  }
}

TEST(ProfileSyntaxTest, WhatIsRenderedReadsBackAsTheSameDirectives) {
  const std::string text =
      "client\nremote \"vpn 1.example\" 1194 udp\nca 'C:\\keys\\ca.crt'\n"
      "verify-x509-name \"CN=a \\\"b\\\"\" name\n"
      "setenv opt block-outside-dns\n<tls-crypt>\n  -----BEGIN-----\n</tls-crypt-v2> is data\n</tls-crypt>\n"
      "<connection>\nremote 198.18.0.3 443 tcp\n<http-proxy-user-pass>\nu\np\n</http-proxy-user-pass>\n"
      "</connection>\n";
  const ParsedProfile parsed = ParseProfile(text);
  ASSERT_EQ(parsed.error, "");
  const std::optional<std::string> rendered = RenderProfile(parsed.directives);
  ASSERT_TRUE(rendered);
  EXPECT_EQ(ParseProfile(*rendered).directives, parsed.directives);

  // Directives no reading could give back are never written.
  const auto render = [](std::string name, std::vector<std::string> args,
                         std::optional<std::string> data = {}, std::vector<Directive> block = {}) {
    Directive d;
    d.name = std::move(name);
    d.args = std::move(args);
    d.inline_data = std::move(data);
    d.block = std::move(block);
    return RenderProfile({d});
  };
  Directive inner;
  inner.name = "ca";
  inner.inline_data = "</connection>\n";
  EXPECT_FALSE(render("ca", {"a\nplugin /x.so"}));
  EXPECT_FALSE(render("ca", {""}));
  EXPECT_FALSE(render("ca", {std::string(260, 'a')}));
  EXPECT_FALSE(render("ca x", {}));
  EXPECT_FALSE(render("setenv", {"opt", "plugin"}));
  EXPECT_FALSE(render("ca", {}, "x\n </ca>\nplugin /x.so\n"));
  EXPECT_FALSE(render("connection", {}, {}, {inner}));
  EXPECT_TRUE(render("ca", {}, "x\n </cax>\n"));
}

TEST(ProfileReviewTest, DirectivesThatRunOrWriteAreRefusedByName) {
  const std::string forbidden[] = {
      "daemon",       "tls-verify /x",    "route-pre-down /x",   "writepid /etc/passwd",
      "cd /etc",      "log-append /x",    "client-connect /x",   "management 0.0.0.0 1",
      "chroot /x",    "down /tmp/x.sh",   "script-security 2",   "tls-export-cert /tmp",
      "iproute /x",   "engine dynamic",   "dev-node /dev/sda",   "replay-persist /etc/x",
      "ipchange /x",  "log /etc/passwd",  "route-up /tmp/x.sh",  "config /etc/other.conf",
      "up /tmp/x.sh", "learn-address /x", "status /etc/passwd",  "pkcs11-providers /x.so",
      "tmp-dir /etc", "providers legacy", "plugin /tmp/evil.so", "auth-user-pass-verify /x via-env"};
  for (const std::string& line : forbidden) {
    const std::string name = line.substr(0, line.find(' '));
    for (const std::string& written : {line, "  --" + line, "setenv opt " + line, "setenv \"opt\"" + line,
                                       "<connection>\n" + line + "\n</connection>"}) {
      const ReviewedProfile profile =
          ReviewProfile("client\ndev tun\n" + written + "\nremote 198.18.0.2 1194\n");
      EXPECT_THAT(profile.error, HasSubstr("\"" + name + "\"")) << written;
    }
  }
  struct Case {
    std::string text;
    std::string error;
  };
  const Case malformed[] = {
      {"client\n<script>\nrm -rf /\n</script>\n", "<script>"},
      {"setenv FORWARD_COMPATIBLE 1\n<ca>x\nplugin /home/u/evil.so\n</ca> x\n", "\"<ca>x\""},
      {"ignore-unknown-option frobnicate\nfrobnicate 1\n", "\"frobnicate\""},
      {"crl-verify /etc/crl dir\n", "crl-verify dir"},
      {"setenv opt\n", "\"setenv opt\""},
  };
  for (const Case& c : malformed) EXPECT_THAT(ReviewProfile(c.text).error, HasSubstr(c.error)) << c.text;
  // A file hidden by a quote that ends its token is still a file, read as the user.
  for (const std::string line :
       {"http-proxy 198.18.0.2 \"8080\"\"/etc/shadow\"", "socks-proxy 198.18.0.2 \"1080\"\"/etc/shadow\""}) {
    const ReviewedProfile profile = ReviewProfile("proto tcp-client\n" + line + "\n");
    ASSERT_EQ(profile.files.size(), 1u) << line;
    EXPECT_EQ(profile.files[0].path, "/etc/shadow") << line;
  }
}

TEST(ProfileReviewTest, RealProfilesPassAndTheirFilesBecomeCopies) {
  const std::string text =
      "\xEF\xBB\xBF# a provider's profile\r\n"
      "client\r\nremote vpn.example 1194 udp\r\n"
      "ca \"my keys/ca.crt\" # with a space\r\n"
      "cert /home/u/c.crt\r\n; key old.key\r\nkey 'k.key'\r\ntls-auth ta.key 1\r\n"
      "setenv opt tls-crypt tc.key\r\nauth-user-pass\r\nhttp-proxy proxy.example 8080 auto\r\n"
      "user nobody\r\ngroup nogroup\r\nkeepalive 10 60\r\npasstos\r\nroute-method exe\r\nkeysize 256\r\n"
      "disable-occ\r\ndown-pre\r\nblock-outside-dns\r\nignore-unknown-option block-outside-dns\r\n"
      "setenv FORWARD_COMPATIBLE 1\r\nsetenv LD_PRELOAD /home/u/evil.so\r\nsetenv UV_PLAN gold\r\n"
      "peer-fingerprint AA:BB\r\n<peer-fingerprint>\r\nAA:CC\r\n</peer-fingerprint>\r\n"
      "<tls-crypt-v2>\r\nup /inline/data/is/not/a/directive\r\n</tls-crypt-v2>\r\n"
      "<connection>\r\nremote 198.18.0.3 443 tcp\r\n"
      "socks-proxy 198.18.0.9 1080 socks.auth\r\n</connection>\r\n";
  const ReviewedProfile profile = ReviewProfile(text);
  ASSERT_EQ(profile.error, "");
  EXPECT_TRUE(profile.sets_ping);
  std::vector<std::string> paths;
  for (const NamedFile& file : profile.files) paths.push_back(file.path);
  EXPECT_EQ(paths, (std::vector<std::string>{"my keys/ca.crt", "/home/u/c.crt", "k.key", "ta.key", "tc.key",
                                             "socks.auth"}));

  std::vector<std::string> copies;
  for (std::size_t i = 0; i < paths.size(); ++i)
    copies.push_back("/run/vlvpn/openvpn/file-" + std::to_string(i));
  const std::string rendered = RenderReviewedProfile(profile, copies).value_or("");
  // What OpenVPN will read: every path is one of our copies, and the rest unchanged.
  const ReviewedProfile again = ReviewProfile(rendered);
  ASSERT_EQ(again.error, "");
  std::vector<std::string> now;
  for (const NamedFile& file : again.files) now.push_back(file.path);
  EXPECT_EQ(now, copies);
  EXPECT_THAT(rendered, HasSubstr("tls-auth \"/run/vlvpn/openvpn/file-3\" \"1\"\n"));
  EXPECT_THAT(rendered, HasSubstr("up /inline/data/is/not/a/directive\r\n</tls-crypt-v2>\n"));
  // OpenVPN 2.6 on Linux stops on these; as optional ones it warns and goes on.
  EXPECT_THAT(rendered, HasSubstr("setenv opt keysize \"256\"\n"));
  EXPECT_THAT(rendered, HasSubstr("setenv opt block-outside-dns\n"));
  // Variables reach the service's helper, which OpenVPN runs: only OpenVPN's own stay.
  EXPECT_THAT(rendered, HasSubstr("setenv \"FORWARD_COMPATIBLE\" \"1\"\nsetenv \"UV_PLAN\" \"gold\"\n"));
  for (const char* gone : {"old.key", "\nuser", "\ngroup", "nobody", "LD_PRELOAD"}) {
    EXPECT_THAT(rendered, Not(HasSubstr(gone)));
  }

  // A line that fits only with its short path would be cut by OpenVPN once rewritten.
  const ReviewedProfile tight = ReviewProfile("ca x \"" + std::string(235, 'A') + "\"\n");
  ASSERT_EQ(tight.error, "");
  EXPECT_FALSE(RenderReviewedProfile(tight, {"/run/vlvpn/openvpn/file-0"}));
  EXPECT_TRUE(RenderReviewedProfile(tight, {"/y"}));
}

}  // namespace
}  // namespace vlvpn::service
