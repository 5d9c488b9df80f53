#pragma once

#include <chrono>
#include <future>
#include <optional>
#include <string_view>
#include <utility>

#include "common/value.h"
#include "modules/dispatcher.h"
#include "modules/promise.h"

namespace vlvpn::testing {

// How a promise settled: the resolved value, or the rejection object.
struct Outcome {
  bool resolved = false;
  std::optional<Value> value;
  Value error;
};

// A promise and the future its settlement reaches.
std::pair<Promise, std::future<Outcome>> MakeSettlement();

// Waits for the settlement. One that never comes fails the test naming `what`
// (rather than hanging the suite) and reads as a rejection.
Outcome Await(std::future<Outcome>& future, std::string_view what,
              std::chrono::seconds limit = std::chrono::seconds(60));

// Calls a module method and waits for its settlement.
Outcome CallAndAwait(const Dispatcher& dispatcher, std::string_view module, std::string_view method,
                     const Value& args = Value::array());

}  // namespace vlvpn::testing
