#include "common/value.h"

namespace vlvpn {

std::string DumpLine(const Value& value) {
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace vlvpn
