#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

#include "device/links.h"
#include "device/tap_adapter.h"

namespace vlvpn {

struct AdapterReading {
  ActiveAdapter adapter;
  std::optional<InterfaceCounters> counters;  // nullopt when they could not be read
};

// The tunnel's adapter while it is up, with its byte counters (IP helper on Windows,
// routing netlink on Linux). `known`, the adapter seen last, is asked first: while it
// stays up that is one query instead of a walk over every adapter.
std::optional<AdapterReading> ReadTunnelAdapter(const std::optional<ActiveAdapter>& known);
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
  // Whether the last Sample found the adapter up.
  bool AdapterSeen() const { return adapter_seen_; }
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
  std::atomic<bool> adapter_seen_{false};
};

TrafficSampler& ProcessTrafficSampler();

}  // namespace vlvpn
