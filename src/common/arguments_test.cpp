#include "common/arguments.h"

#include <gtest/gtest.h>

namespace vlvpn {
namespace {

TEST(QuoteArgument, EveryArgumentComesBackWhole) {
  const std::string cases[] = {"",
                               "plain",
                               "with blanks in it",
                               "Z\xC3\xBCrich \xE6\x97\xA5",
                               "say \"hi\"",
                               "trailing backslash\\",
                               "C:\\dir\\",
                               "back\\\\\"slash",
                               "tab\there",
                               "--auth-user-pass \"/etc/shadow\""};
  std::string line = "--first";
  std::vector<std::string> expected = {"--first"};
  for (const std::string& arg : cases) {
    line += " " + QuoteArgument(arg) + " --next";
    expected.push_back(arg);
    expected.push_back("--next");
  }
  EXPECT_EQ(SplitArguments(line), expected) << "no argument swallows its neighbour";
}

TEST(SplitArguments, FollowsTheWindowsRules) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"a b\tc", {"a", "b", "c"}},
      {"  \"a b\"  c ", {"a b", "c"}},
      {"a\\\\\\\"b", {"a\\\"b"}},
      {"\"a\\\\\" b", {"a\\", "b"}},
      {"a\\b", {"a\\b"}},
      {"\"a\"\"b\"", {"a\"b"}},
      {"", {}},
  };
  for (const auto& [line, args] : cases) EXPECT_EQ(SplitArguments(line), args) << line;
}

TEST(WithLogFirst, MovesTheLogAheadOfTheProfile) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"--config \"C:\\p q\\c.ovpn\" --log \"C:\\p q\\openvpn.log\" --verb 3",
       {"--log", "C:\\p q\\openvpn.log", "--config", "C:\\p q\\c.ovpn", "--verb", "3"}},
      {"--config c.ovpn --verb 3", {"--config", "c.ovpn", "--verb", "3"}},
      {"--config c.ovpn --log", {"--config", "c.ovpn", "--log"}},
  };
  for (const auto& [line, args] : cases) EXPECT_EQ(SplitArguments(WithLogFirst(line)), args) << line;
}

}  // namespace
}  // namespace vlvpn
