#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vlvpn {

// UTF-8 <-> the platform's wide text (UTF-16 on Windows). Empty in, empty out;
// malformed input is replaced with U+FFFD, never thrown over.
std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view wide);

// Paths carried as UTF-8 at the module boundary.
std::filesystem::path PathFromUtf8(std::string_view utf8);
std::string PathToUtf8(const std::filesystem::path& path);

// Portable, platform-independent conversions (the Windows build's helpers must agree with these).
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);
bool IsValidUtf8(std::string_view text);
// Appends one code point, UTF-8 encoded.
void AppendUtf8(std::string& out, char32_t code_point);

// Drops every carriage return that stands right before a line feed, as a
// text-mode read would, without text mode's other effects.
std::string StripCrBeforeLf(std::string_view text);

// "C"-locale byte classification that is defined for every byte, 0x80-0xFF included.
bool IsAsciiAlnum(char byte);
char AsciiToUpper(char byte);
char AsciiToLower(char byte);
std::string AsciiLowerCopy(std::string_view text);
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);

// Plain substring test.
bool Contains(std::string_view text, std::string_view needle);
// The text without the trailing bytes that `chars` lists.
std::string_view TrimTrailing(std::string_view text, std::string_view chars);
// The text without trailing carriage returns and line feeds.
inline std::string_view TrimLineEnd(std::string_view text) { return TrimTrailing(text, "\r\n"); }

// A decimal number of digits only (no sign, blanks or other text), at most `max`;
// nullopt for anything else, so a bad number is never taken for a good one.
std::optional<std::uint64_t> ParseDecimal(std::string_view digits, std::uint64_t max);

}  // namespace vlvpn
