#include "storage/names.h"

#include <array>
#include <stdexcept>

#include "common/text.h"

namespace vlvpn {
namespace {

bool IsReservedDeviceName(std::string_view stem) {
  static constexpr std::array<std::string_view, 6> kFixed = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (std::string_view device : kFixed) {
    if (EqualsIgnoreAsciiCase(stem, device)) return true;
  }
  // COM0-9 and LPT0-9, and the superscript digits Windows also reserves.
  for (std::string_view port : {std::string_view("COM"), std::string_view("LPT")}) {
    if (stem.size() < 4 || !EqualsIgnoreAsciiCase(stem.substr(0, 3), port)) continue;
    const std::string_view digit = stem.substr(3);
    if (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') return true;
    if (digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3") return true;
  }
  return false;
}

}  // namespace

std::optional<std::string> PlainNameProblem(std::string_view name, std::string_view what) {
  const std::string prefix = "Invalid " + std::string(what) + ": ";
  if (name.empty()) return prefix + "it is empty.";
  if (name == "." || name == "..") return prefix + "\".\" and \"..\" are not allowed.";
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return prefix + "it must not contain control characters.";
  }
  if (name.find_first_of("/\\") != std::string_view::npos) {
    return prefix + "it must not contain \"/\" or \"\\\".";
  }
  if (name.find_first_of("<>:\"|?*") != std::string_view::npos) {
    return prefix + "it must not contain any of < > : \" | ? *.";
  }
  if (name.back() == '.' || name.back() == ' ') {
    return prefix + "it must not end with a dot or a blank.";
  }
  std::string_view stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  if (IsReservedDeviceName(stem)) {
    return prefix + "\"" + std::string(stem) + "\" is a reserved device name.";
  }
  if (!IsValidUtf8(name)) return prefix + "it is not valid UTF-8 text.";
  return std::nullopt;
}

void RequirePlainName(std::string_view name, std::string_view what) {
  if (auto problem = PlainNameProblem(name, what)) throw std::invalid_argument(*problem);
}

std::string PreferenceFileName(std::string_view key) {
  if (key.empty()) return "pref";
  std::string name;
  name.reserve(key.size());
  for (const char c : key) {
    name += (IsAsciiAlnum(c) || c == '_' || c == '-' || c == '.') ? c : '_';
  }
  return name;
}

}  // namespace vlvpn
