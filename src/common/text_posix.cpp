#include "common/text.h"

namespace vlvpn {

// wchar_t is UTF-32 here; only code points cross.
std::wstring Utf8ToWide(std::string_view utf8) {
  const std::u16string utf16 = Utf8ToUtf16(utf8);
  std::wstring out;
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = utf16[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size()) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00u);
      ++i;
    }
    out += static_cast<wchar_t>(cp);
  }
  return out;
}

std::string WideToUtf8(std::wstring_view wide) {
  std::u16string utf16;
  for (const wchar_t ch : wide) {
    auto cp = static_cast<char32_t>(ch);
    if (cp > 0x10FFFF) cp = 0xFFFD;
    if (cp >= 0x10000) {
      utf16 += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      utf16 += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      utf16 += static_cast<char16_t>(cp);
    }
  }
  return Utf16ToUtf8(utf16);
}

// Linux paths are bytes; UTF-8 passes through untouched.
std::filesystem::path PathFromUtf8(std::string_view utf8) { return {std::string(utf8)}; }

std::string PathToUtf8(const std::filesystem::path& path) { return path.native(); }

}  // namespace vlvpn
