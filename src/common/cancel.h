#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace vlvpn {

// Tells long work that it is no longer wanted. Every wait of that work goes through
// the token, so a cancel ends the wait at once instead of after its full length.
class CancelToken {
 public:
  void Cancel() {
    {
      std::lock_guard guard(lock_);
      cancelled_ = true;
    }
    wake_.notify_all();
  }
  bool cancelled() const {
    std::lock_guard guard(lock_);
    return cancelled_;
  }

  // Sleeps for `duration`; false when cancelled before or during the sleep.
  bool SleepFor(std::chrono::milliseconds duration) const {
    std::unique_lock guard(lock_);
    return !wake_.wait_for(guard, duration, [this] { return cancelled_; });
  }

  // Waits until `ready` holds (re-checked whenever Wake is called); false when
  // cancelled first.
  bool WaitUntil(const std::function<bool()>& ready) const {
    std::unique_lock guard(lock_);
    wake_.wait(guard, [&] { return cancelled_ || ready(); });
    return !cancelled_;
  }
  // For work whose result a WaitUntil is waiting for.
  void Wake() const {
    { std::lock_guard guard(lock_); }
    wake_.notify_all();
  }

 private:
  mutable std::mutex lock_;
  mutable std::condition_variable wake_;
  bool cancelled_ = false;
};

}  // namespace vlvpn
