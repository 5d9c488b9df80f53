#include <windows.h>

#include "common/text.h"

namespace vlvpn {

// Code page 65001 with no flags: ask for the length, then convert.
std::wstring Utf8ToWide(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int source = static_cast<int>(utf8.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), source, nullptr, 0);
  if (length <= 0) return {};
  std::wstring out(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), source, out.data(), length);
  return out;
}

std::string WideToUtf8(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int source = static_cast<int>(wide.size());
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), source, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return {};
  std::string out(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), source, out.data(), length, nullptr, nullptr);
  return out;
}

std::filesystem::path PathFromUtf8(std::string_view utf8) { return {Utf8ToWide(utf8)}; }

std::string PathToUtf8(const std::filesystem::path& path) { return WideToUtf8(path.native()); }

}  // namespace vlvpn
