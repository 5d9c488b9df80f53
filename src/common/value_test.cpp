#include "common/value.h"

#include <gtest/gtest.h>

namespace vlvpn {
namespace {

TEST(ParseJson, NestingIsCountedAndBoundedWithoutParsing) {
  struct Case {
    std::string text;
    std::size_t depth;
    bool parsed;
  };
  const std::string at_bound = std::string(256, '[') + std::string(256, ']');
  const Case cases[] = {
      {"1", 0, true},
      {R"({"a":[1,{"b":[]}]})", 4, true},
      {R"({"a":"[[[{{{\"]]"})", 1, true},  // brackets inside strings do not count
      {R"(["\\"])", 1, true},             // an escaped backslash does not hide the quote
      {at_bound, 256, true},
      {"[" + at_bound + "]", 257, false},
      {std::string(100000, '['), 100000, false},  // no stack is spent on it
      {std::string("0\0{{{", 5), 0, true},      // the parser stops at NUL, and so does the count
      {"[1,", 1, false},
      {R"({"a":[[1]],"a":2})", 3, true},  // the repeated key keeps the shallower value
  };
  for (const Case& c : cases) {
    EXPECT_EQ(JsonNestingDepth(c.text), c.depth) << c.text.substr(0, 40);
    EXPECT_EQ(!ParseJson(c.text).is_discarded(), c.parsed) << c.text.substr(0, 40);
  }
}

}  // namespace
}  // namespace vlvpn
