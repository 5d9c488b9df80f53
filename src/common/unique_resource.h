#pragma once

#include <utility>

namespace vlvpn {

// Owns one operating-system resource (a descriptor, a handle) and closes it when it
// goes. `Traits` gives the native type, its empty value, what counts as valid and
// how it is closed. Moves, never copies.
template <typename Traits>
class UniqueResource {
 public:
  using Native = typename Traits::Native;

  UniqueResource() = default;
  explicit UniqueResource(Native value) : value_(value) {}
  UniqueResource(UniqueResource&& other) noexcept : value_(std::exchange(other.value_, Traits::Empty())) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) {
      Reset();
      value_ = std::exchange(other.value_, Traits::Empty());
    }
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  ~UniqueResource() { Reset(); }

  Native get() const { return value_; }
  bool valid() const { return Traits::Valid(value_); }
  // Gives the resource up to the caller, who then closes it.
  Native release() { return std::exchange(value_, Traits::Empty()); }

 private:
  void Reset() {
    if (Traits::Valid(value_)) Traits::Close(value_);
    value_ = Traits::Empty();
  }

  Native value_ = Traits::Empty();
};

}  // namespace vlvpn
