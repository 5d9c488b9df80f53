#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
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

// Fails the current test naming `what`: a settlement that never came.
void ReportNeverSettled(std::string_view what, std::chrono::seconds limit);

// A callback the test hands out and then waits for. A time-out fails the test (and
// yields T{}); calls are counted, so "exactly once" can be checked.
template <typename T>
class Awaited {
 public:
  std::function<void(T)> Callback() {
    return [state = state_](T value) {
      if (state->calls++ == 0) state->done.set_value(std::move(value));
    };
  }
  T Await(std::string_view what, std::chrono::seconds limit = std::chrono::seconds(60)) {
    if (!future_.valid()) return T{};
    if (future_.wait_for(limit) != std::future_status::ready) {
      ReportNeverSettled(what, limit);
      return T{};
    }
    return future_.get();
  }
  int calls() const { return state_->calls.load(); }

 private:
  struct State {
    std::promise<T> done;
    std::atomic<int> calls{0};
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
  std::future<T> future_ = state_->done.get_future();
};

// A promise and the settlement it reaches.
std::pair<Promise, Awaited<Outcome>> MakeSettlement();

// Calls a module method and waits for its settlement.
Outcome CallAndAwait(const Dispatcher& dispatcher, std::string_view module, std::string_view method,
                     const Value& args = Value::array());

}  // namespace vlvpn::testing
