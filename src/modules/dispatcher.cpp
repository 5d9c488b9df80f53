#include "modules/dispatcher.h"

#include <cmath>
#include <exception>
#include <limits>

namespace vlvpn {

std::int32_t NumberToInt32(const Value& number) {
  if (number.is_number_integer() && !number.is_number_unsigned()) {
    const auto v = number.get<std::int64_t>();
    if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) {
      return 0;
    }
    return static_cast<std::int32_t>(v);
  }
  if (number.is_number_unsigned()) {
    const auto v = number.get<std::uint64_t>();
    return v > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())
               ? 0
               : static_cast<std::int32_t>(v);
  }
  if (!number.is_number_float()) return 0;
  const double v = std::trunc(number.get<double>());
  // Compare before converting: casting an out-of-range double is undefined.
  if (!std::isfinite(v) || v < -2147483648.0 || v > 2147483647.0) return 0;
  return static_cast<std::int32_t>(v);
}

Args Args::Convert(const Value& raw, const std::vector<ArgKind>& kinds) {
  Args args;
  args.slots_.reserve(kinds.size());
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    const Value* given = (raw.is_array() && i < raw.size()) ? &raw[i] : nullptr;
    switch (kinds[i]) {
      case ArgKind::kString:
        args.slots_.emplace_back(given && given->is_string() ? given->get<std::string>() : std::string());
        break;
      case ArgKind::kBool:
        args.slots_.emplace_back(given && given->is_boolean() && given->get<bool>());
        break;
      case ArgKind::kInt:
        args.slots_.emplace_back(given ? NumberToInt32(*given) : std::int32_t{0});
        break;
      case ArgKind::kStringList: {
        std::vector<std::string> list;
        if (given && given->is_array()) {
          for (const Value& item : *given) {
            list.push_back(item.is_string() ? item.get<std::string>() : std::string());
          }
        }
        args.slots_.emplace_back(std::move(list));
        break;
      }
    }
  }
  return args;
}

const std::string& Args::String(std::size_t index) const { return std::get<std::string>(slots_.at(index)); }
bool Args::Bool(std::size_t index) const { return std::get<bool>(slots_.at(index)); }
std::int32_t Args::Int(std::size_t index) const { return std::get<std::int32_t>(slots_.at(index)); }
const std::vector<std::string>& Args::StringList(std::size_t index) const {
  return std::get<std::vector<std::string>>(slots_.at(index));
}

namespace {

void RejectWithCurrentException(const Promise& promise) {
  try {
    throw;
  } catch (const std::exception& e) {
    promise.Reject(e.what());
  } catch (...) {
    promise.Reject("Unexpected error.");
  }
}

}  // namespace

Handler OnCallingThread(std::function<std::optional<Value>(const Args&)> body) {
  return [body = std::move(body)](const Args& args, Promise promise) {
    try {
      std::optional<Value> result = body(args);
      if (result) {
        promise.Resolve(std::move(*result));
      } else {
        promise.ResolveVoid();
      }
    } catch (...) {
      RejectWithCurrentException(promise);
    }
  };
}

Handler NotAvailableYet(std::string method) {
  return [message = method + " is not available yet."](const Args&, Promise promise) {
    promise.Reject(message);
  };
}

Dispatcher::Dispatcher(std::vector<ModuleSpec> modules) : modules_(std::move(modules)) {}

void Dispatcher::Call(std::string_view module, std::string_view method, const Value& args,
                      Promise promise) const {
  try {
    for (const ModuleSpec& spec : modules_) {
      if (spec.name != module) continue;
      for (const MethodSpec& m : spec.methods) {
        if (m.name != method) continue;
        m.handler(Args::Convert(args, m.args), promise);
        return;
      }
      promise.Reject("Unknown method \"" + std::string(method) + "\" of module \"" + std::string(module) +
                     "\".");
      return;
    }
    promise.Reject("Unknown module \"" + std::string(module) + "\".");
  } catch (...) {
    RejectWithCurrentException(promise);
  }
}

Value Dispatcher::Describe() const {
  Value out = Value::object();
  for (const ModuleSpec& spec : modules_) {
    Value entry = Value::object();
    if (!spec.methods.empty()) {
      Value names = Value::array();
      for (const MethodSpec& m : spec.methods) names.push_back(m.name);
      entry["methods"] = std::move(names);
    }
    if (!spec.events.empty()) entry["events"] = spec.events;
    if (spec.constants) entry["constants"] = spec.constants();
    out[spec.name] = std::move(entry);
  }
  return out;
}

}  // namespace vlvpn
