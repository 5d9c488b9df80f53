#include "common/value.h"

namespace vlvpn {

std::string DumpLine(const Value& value) {
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::size_t JsonNestingDepth(std::string_view text) {
  std::size_t depth = 0;
  std::size_t deepest = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '\0') {
      break;  // where the parser stops reading, as it would at a C string's end
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > deepest) deepest = depth;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

Value ParseJson(std::string_view text) {
  if (JsonNestingDepth(text) > kMaxJsonDepth) return Value(Value::value_t::discarded);
  return Value::parse(text, nullptr, /*allow_exceptions=*/false);
}

}  // namespace vlvpn
