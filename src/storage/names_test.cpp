#include "storage/names.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace vlvpn {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(PlainName, AcceptsPlainNames) {
  for (const std::string name :
       {"p1", "My Profile", "server.ovpn", "a-b_c.d", "Z\xC3\xBCrich", "\xE6\x97\xA5\xE6\x9C\xAC", ".hidden",
        "CONFIG", "con1", "COM10", "console.ovpn", "lpt", "nul-server", "a..b"}) {
    EXPECT_EQ(PlainNameProblem(name, "profile id"), std::nullopt) << name;
  }
}

struct Refusal {
  std::string name;
  std::string reason;
};

TEST(PlainName, RefusesNamesThatLeaveTheFolderOrMisbehaveOnWindows) {
  const Refusal cases[] = {
      {"", "it is empty."},
      {".", "\".\" and \"..\" are not allowed."},
      {"..", "\".\" and \"..\" are not allowed."},
      {"a/b", "\"/\" or \"\\\""},
      {"a\\b", "\"/\" or \"\\\""},
      {"/etc", "\"/\" or \"\\\""},
      {std::string("a\0b", 3), "control characters"},
      {"a\nb", "control characters"},
      {"tab\there", "control characters"},
      {"del\x7F", "control characters"},
      {"a:b", "< > : \" | ? *"},
      {"C:", "< > : \" | ? *"},
      {"what?", "< > : \" | ? *"},
      {"a*", "< > : \" | ? *"},
      {"profile.", "must not end with a dot or a blank."},
      {"profile ", "must not end with a dot or a blank."},
      {"CON", "\"CON\" is a reserved device name."},
      {"con", "\"con\" is a reserved device name."},
      {"NUL.txt", "\"NUL\" is a reserved device name."},
      {"com1.ovpn", "\"com1\" is a reserved device name."},
      {"LPT9", "\"LPT9\" is a reserved device name."},
      {"AUX .log", "\"AUX\" is a reserved device name."},
      {"CONIN$", "reserved device name"},
      {"COM\xC2\xB9", "reserved device name"},
      {"prn.tar.gz", "reserved device name"},
      {"bad\xFF", "not valid UTF-8"},
  };
  for (const auto& c : cases) {
    const auto problem = PlainNameProblem(c.name, "profile id");
    ASSERT_TRUE(problem.has_value()) << c.name;
    EXPECT_THAT(*problem, StartsWith("Invalid profile id: ")) << c.name;
    EXPECT_THAT(*problem, HasSubstr(c.reason)) << c.name;
    EXPECT_THROW(RequirePlainName(c.name, "file name"), std::invalid_argument) << c.name;
  }
}

TEST(PreferenceFileName, MapsKeysByteForByte) {
  const std::pair<std::string, std::string> cases[] = {
      {"theme", "theme"}, {"user name", "user_name"}, {"a/b", "a_b"},
      {"a?b", "a_b"},     {"a.b-c_D9", "a.b-c_D9"},   {"", "pref"},
      {"pref", "pref"},   {"\xC3\xA9", "__"},         {"\xFF\x80", "__"},
      {"..", ".."},
  };
  for (const auto& [key, name] : cases) EXPECT_EQ(PreferenceFileName(key), name) << key;
}

}  // namespace
}  // namespace vlvpn
