#include "common/text.h"

#include <gtest/gtest.h>

namespace vlvpn {
namespace {

TEST(Text, ConvertsBothWays) {
  const std::pair<std::string, std::u16string> cases[] = {
      {"", u""},
      {"server.ovpn", u"server.ovpn"},
      {"Z\xC3\xBCrich", u"Z\u00FCrich"},
      {"\xE6\x97\xA5\xE6\x9C\xAC", u"\u65E5\u672C"},
      {"\xF0\x9F\x98\x80!", u"\xD83D\xDE00!"},
      {"\xEF\xBF\xBD", u"\xFFFD"},
  };
  for (const auto& [utf8, utf16] : cases) {
    EXPECT_EQ(Utf8ToUtf16(utf8), utf16) << utf8;
    EXPECT_EQ(Utf16ToUtf8(utf16), utf8) << utf8;
    EXPECT_TRUE(IsValidUtf8(utf8)) << utf8;
    // The platform's wide helpers agree with the portable ones.
    EXPECT_EQ(WideToUtf8(Utf8ToWide(utf8)), utf8);
    EXPECT_EQ(PathToUtf8(PathFromUtf8(utf8)), utf8);
  }
}

TEST(Text, MalformedTextIsReplacedNotThrown) {
  const std::string cases[] = {"\xC3", "\xFF", "\xC0\xAF", "\xED\xA0\x80", "a\x80z", "\xF4\x90\x80\x80"};
  for (const std::string& bad : cases) {
    EXPECT_FALSE(IsValidUtf8(bad)) << bad;
    EXPECT_NE(Utf8ToUtf16(bad).find(u'\xFFFD'), std::u16string::npos) << bad;
  }
  EXPECT_EQ(Utf8ToUtf16("a\x80z"), u"a\xFFFDz");
  // Lone surrogates the other way.
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf16ToUtf8(u"\xDC00x"), "\xEF\xBF\xBDx");
}

TEST(Text, StripsOnlyCarriageReturnsBeforeLineFeeds) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\r\nb\r\n", "a\nb\n"}, {"a\rb", "a\rb"},           {"end\r", "end\r"},
      {"\r\r\n", "\r\n"},       {"x\x1Ay\r\n", "x\x1Ay\n"}, {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(StripCrBeforeLf(in), out);
}

TEST(Text, ByteClassificationIsDefinedForEveryByte) {
  int alnum = 0;
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    if (IsAsciiAlnum(c)) ++alnum;
    if (b >= 0x80) {
      EXPECT_FALSE(IsAsciiAlnum(c)) << b;
      EXPECT_EQ(AsciiToUpper(c), c) << b;
    }
  }
  EXPECT_EQ(alnum, 62);
  EXPECT_TRUE(EqualsIgnoreAsciiCase("To Be Filled", "to be FILLED"));
  EXPECT_FALSE(EqualsIgnoreAsciiCase("\xC3\xA9", "\xC3\x89"));
  EXPECT_FALSE(EqualsIgnoreAsciiCase("abc", "abcd"));
}

}  // namespace
}  // namespace vlvpn
