#pragma once

#include <nlohmann/json.hpp>

namespace vlvpn {

// The JSON-like value crossing the module boundary; object keys keep insertion order.
using Value = nlohmann::ordered_json;

// Serialises one value onto one line. Invalid UTF-8 in a string (a stored file we
// hand back unparsed) is replaced rather than thrown over.
std::string DumpLine(const Value& value);

}  // namespace vlvpn
