#include "modules/promise.h"

namespace vlvpn {

Value RejectionObject(std::string_view message) {
  Value error = Value::object();
  error["code"] = "EUNSPECIFIED";
  error["message"] = std::string(message);
  error["userInfo"] = nullptr;
  return error;
}

struct Promise::State {
  std::atomic<int> word{kPending};
  ResolveFn resolve;
  RejectFn reject;

  State(ResolveFn on_resolve, RejectFn on_reject)
      : resolve(std::move(on_resolve)), reject(std::move(on_reject)) {}
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  ~State() {
    int expected = kPending;
    if (!word.compare_exchange_strong(expected, kRejected)) return;
    try {
      if (reject) reject(RejectionObject("Promise destroyed."));
    } catch (...) {
      // A destructor must not throw; the host's sink failing leaves nothing to tell.
    }
  }
};

Promise::Promise(ResolveFn resolve, RejectFn reject)
    : state_(std::make_shared<State>(std::move(resolve), std::move(reject))) {}

void Promise::Reject(std::string_view message) const { Settle(kRejected, RejectionObject(message)); }

bool Promise::IsPending() const { return state_->word.load() == kPending; }

void Promise::Settle(Word to, std::optional<Value> payload) const {
  int expected = kPending;
  if (!state_->word.compare_exchange_strong(expected, to)) return;
  if (to == kResolved) {
    if (state_->resolve) state_->resolve(std::move(payload));
  } else if (state_->reject) {
    state_->reject(std::move(*payload));
  }
}

}  // namespace vlvpn
