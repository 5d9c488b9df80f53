#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/value.h"

namespace vlvpn {

// Builds the rejection object every method rejects with.
Value RejectionObject(std::string_view message);

// One JavaScript promise. Copies share one state word; the first settle wins and
// later ones are dropped. When the last copy goes while still pending, the promise
// rejects itself with "Promise destroyed.", so no call is ever left hanging.
// Resolve and Reject are safe from any thread.
class Promise {
 public:
  // `result` is empty for a void resolution.
  using ResolveFn = std::function<void(std::optional<Value> result)>;
  // Receives the rejection object.
  using RejectFn = std::function<void(Value error)>;

  Promise(ResolveFn resolve, RejectFn reject);

  void Resolve(Value result) const { Settle(kResolved, std::move(result)); }
  void ResolveVoid() const { Settle(kResolved, std::nullopt); }
  void Reject(std::string_view message) const;

  bool IsPending() const;

 private:
  enum Word : int { kPending = 0, kResolved = 1, kRejected = 2 };
  struct State;

  void Settle(Word to, std::optional<Value> payload) const;

  std::shared_ptr<State> state_;
};

}  // namespace vlvpn
