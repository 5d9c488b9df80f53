#pragma once

#include <cstddef>
#include <string_view>

#include <nlohmann/json.hpp>

namespace vlvpn {

// The JSON-like value crossing the module boundary; object keys keep insertion order.
using Value = nlohmann::ordered_json;

// Serialises one value onto one line. Invalid UTF-8 in a string (a stored file we
// hand back unparsed) is replaced rather than thrown over.
std::string DumpLine(const Value& value);

// Deeper than anything the interface sends, shallow enough that copying, comparing or
// printing a value (all recursive) never runs out of stack.
inline constexpr std::size_t kMaxJsonDepth = 256;

// How deeply arrays and objects nest in a JSON text, counted without parsing it (so
// text of any depth is safe to look at); never less than the depth of the value the
// parser builds from it (more only when a repeated key drops a deeper value).
std::size_t JsonNestingDepth(std::string_view text);

// Parses one JSON text. Malformed text, or text nesting deeper than kMaxJsonDepth,
// gives the discarded value (is_discarded()); nothing is thrown.
Value ParseJson(std::string_view text);

}  // namespace vlvpn
