#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "device/tap_adapter.h"

namespace vlvpn {

struct InterfaceCounters {
  std::uint64_t in_octets = 0;
  std::uint64_t out_octets = 0;
};

// The adapter's byte counters (IP helper on Windows, sysfs on Linux); nullopt on failure.
std::optional<InterfaceCounters> ReadCounters(const ActiveAdapter& adapter);
std::uint64_t MonotonicMilliseconds();

// Receive and send rates of the tunnel's adapter, from two samples at least half a
// second apart. Safe from several threads.
class TrafficSampler {
 public:
  struct Rates {
    double down = 0;
    double up = 0;
  };

  // Reads the active adapter and its counters now.
  Rates Sample();
  // The same with the readings given (for tests).
  Rates SampleWith(const std::optional<ActiveAdapter>& adapter,
                   const std::optional<InterfaceCounters>& counters, std::uint64_t now_ms);
  void Reset();

 private:
  std::mutex lock_;
  bool valid_ = false;
  std::uint64_t luid_ = 0;
  std::string name_;
  InterfaceCounters last_;
  std::uint64_t last_tick_ = 0;
  Rates rates_;
};

TrafficSampler& ProcessTrafficSampler();

}  // namespace vlvpn
