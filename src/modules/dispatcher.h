#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/value.h"
#include "modules/promise.h"

namespace vlvpn {

enum class ArgKind { kString, kBool, kInt, kStringList };
enum class ResultKind { kObject, kArray, kString, kBool, kInt, kVoid };

// A JavaScript number as a 32-bit int: NaN, infinities and values outside the
// 32-bit range read as 0, everything else truncates toward zero.
std::int32_t NumberToInt32(const Value& number);

// Call arguments converted by position to the method's kinds. A missing argument or
// one of another kind reads as the kind's empty value ("", false, 0, empty list).
class Args {
 public:
  using Slot = std::variant<std::string, bool, std::int32_t, std::vector<std::string>>;

  static Args Convert(const Value& raw, const std::vector<ArgKind>& kinds);

  const std::string& String(std::size_t index) const;
  bool Bool(std::size_t index) const;
  std::int32_t Int(std::size_t index) const;
  const std::vector<std::string>& StringList(std::size_t index) const;

 private:
  std::vector<Slot> slots_;
};

using Handler = std::function<void(const Args& args, Promise promise)>;

struct MethodSpec {
  std::string name;
  std::vector<ArgKind> args;
  ResultKind result;
  Handler handler;
};

struct ModuleSpec {
  std::string name;
  std::vector<MethodSpec> methods;   // registration order
  std::vector<std::string> events;   // empty when the module declares none
  std::function<Value()> constants;  // empty when the module provides none
};

// A handler that finishes on the calling thread: its body returns the result
// (nullopt for void) and any exception it throws becomes the rejection's message.
Handler OnCallingThread(std::function<std::optional<Value>(const Args&)> body);

// A registered method whose behaviour is not built yet.
Handler NotAvailableYet(std::string method);

class Dispatcher {
 public:
  explicit Dispatcher(std::vector<ModuleSpec> modules);

  // Converts the arguments, runs the handler and returns; the handler or its worker
  // settles the promise. Unknown names reject; nothing a handler throws escapes.
  void Call(std::string_view module, std::string_view method, const Value& args, Promise promise) const;

  // {"<module>": {"methods": [...], "events": [...], "constants": {...}}}, each key
  // present only where the module has it; constants are computed now.
  Value Describe() const;

  const std::vector<ModuleSpec>& modules() const { return modules_; }

 private:
  std::vector<ModuleSpec> modules_;
};

}  // namespace vlvpn
