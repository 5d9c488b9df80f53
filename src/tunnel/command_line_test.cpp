#include "tunnel/command_line.h"

#include <gtest/gtest.h>

#include "common/text.h"

namespace vlvpn {
namespace {

TEST(OpenVpnArguments, ExactStringInOrder) {
  const std::string tail =
      " --management 127.0.0.1 11940 --verb 3 --connect-retry 2 --connect-timeout 10 --connect-retry-max 5"
      " --ping 10 --ping-restart 60";
  EXPECT_EQ(BuildOpenVpnArguments("/d/p1/server.ovpn", std::filesystem::path("/d/p1/auth.txt"),
                                  "/d/p1/openvpn.log", false),
            "--config \"/d/p1/server.ovpn\" --auth-user-pass \"/d/p1/auth.txt\" --log \"/d/p1/openvpn.log\"" +
                tail);
  EXPECT_EQ(
      BuildOpenVpnArguments("/d/p1/server.ovpn", std::nullopt, "/d/p1/openvpn.log", true),
      "--config \"/d/p1/server.ovpn\" --log \"/d/p1/openvpn.log\"" + tail + " --windows-driver tap-windows6");
  // Windows paths travel as they are.
  const std::string config =
      "C:\\Users\\Ann Lee\\AppData\\Local\\VLVPNDesk\\profiles\\Z\xC3\xBCrich 1\\my server.ovpn";
  const std::string args =
      BuildOpenVpnArguments(PathFromUtf8(config), std::nullopt, PathFromUtf8("C:\\l\\openvpn.log"));
  EXPECT_EQ(args.substr(0, config.size() + 11), "--config \"" + config + "\"");
}

TEST(OpenVpnArguments, ThePasswordFileAndAProfilesOwnKeepalive) {
  const std::string args = BuildOpenVpnArguments("/d/p1/s.ovpn", std::nullopt, "/d/p1/openvpn.log", false,
                                                 11940, "/d/p1/management.txt", true);
  EXPECT_NE(args.find(" --management 127.0.0.1 11940 \"/d/p1/management.txt\" --verb 3"), std::string::npos);
  EXPECT_EQ(args.find("--ping"), std::string::npos);
  for (const char* profile : {"client\nkeepalive 10 60\n", "  --ping 5\r\n", "\tping-restart 30"}) {
    EXPECT_TRUE(ProfileSetsPing(profile)) << profile;
  }
  for (const char* profile : {"# keepalive 10 60\nping-timer-rem\n", "remote ping.example 1194\n"}) {
    EXPECT_FALSE(ProfileSetsPing(profile)) << profile;
  }
}

}  // namespace
}  // namespace vlvpn
