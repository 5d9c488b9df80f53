#pragma once

#include <functional>
#include <memory>

namespace vlvpn {

// One copy of the desktop process per user session. Held until the object goes.
class SingleInstance {
 public:
  // Claims the session's instance. When another copy already holds it, asks that copy
  // to show its window and returns null: this copy then exits with 0. `show_requested`
  // runs (on a thread of the instance's own) when a later copy asks this one.
  static std::unique_ptr<SingleInstance> Claim(std::function<void()> show_requested);
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;
  ~SingleInstance();

  struct Impl;

 private:
  explicit SingleInstance(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vlvpn
