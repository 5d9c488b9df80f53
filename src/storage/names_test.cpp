#include "storage/names.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace vlvpn {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(PlainName, AcceptsPlainNames) {
  for (const std::string name :
       {"p1", "My Profile", "server.ovpn", "a-b_c.d", "Z\xC3\xBCrich", "\xE6\x97\xA5\xE6\x9C\xAC", ".hidden", "CONFIG",
        "con1", "COM10", "console.ovpn", "lpt", "nul-server", "a..b"}) {
    EXPECT_EQ(PlainNameProblem(name, "profile id"), std::nullopt) << name;
  }
}

TEST(PlainName, RefusesNamesThatLeaveTheFolderOrMisbehaveOnWindows) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"it is empty.", {""}},
      {"\".\" and \"..\" are not allowed.", {".", ".."}},
      {"\"/\" or \"\\\"", {"a/b", "a\\b", "/etc"}},
      {"control characters", {std::string("a\0b", 3), "a\nb", "tab\there", "del\x7F"}},
      {"< > : \" | ? *", {"a:b", "C:", "what?", "a*"}},
      {"must not end with a dot or a blank.", {"profile.", "profile "}},
      {"\"CON\" is a reserved device name.", {"CON"}},
      {"\"con\" is a reserved device name.", {"con"}},
      {"\"NUL\" is a reserved device name.", {"NUL.txt"}},
      {"\"com1\" is a reserved device name.", {"com1.ovpn"}},
      {"\"LPT9\" is a reserved device name.", {"LPT9"}},
      {"\"AUX\" is a reserved device name.", {"AUX .log"}},
      {"reserved device name", {"CONIN$", "COM\xC2\xB9", "prn.tar.gz"}},
      {"not valid UTF-8", {"bad\xFF"}},
  };
  for (const auto& [reason, names] : cases) {
    for (const std::string& name : names) {
      const auto problem = PlainNameProblem(name, "profile id");
      ASSERT_TRUE(problem.has_value()) << name;
      EXPECT_THAT(*problem, StartsWith("Invalid profile id: ")) << name;
      EXPECT_THAT(*problem, HasSubstr(reason)) << name;
      EXPECT_THROW(RequirePlainName(name, "file name"), std::invalid_argument) << name;
    }
  }
}

TEST(PreferenceFileName, MapsKeysByteForByte) {
  const std::pair<std::string, std::string> cases[] = {
      {"theme", "theme"}, {"user name", "user_name"}, {"a/b", "a_b"},     {"a?b", "a_b"},     {"a.b-c_D9", "a.b-c_D9"},
      {"", "pref"},       {"pref", "pref"},           {"\xC3\xA9", "__"}, {"\xFF\x80", "__"}, {"..", ".."},
  };
  for (const auto& [key, name] : cases) EXPECT_EQ(PreferenceFileName(key), name) << key;
}

}  // namespace
}  // namespace vlvpn
