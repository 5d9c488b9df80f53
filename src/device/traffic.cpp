#include "device/traffic.h"

#include <chrono>

namespace vlvpn {

std::uint64_t MonotonicMilliseconds() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

TrafficSampler::Rates TrafficSampler::Sample() {
  std::optional<ActiveAdapter> known;
  {
    std::lock_guard guard(lock_);
    if (valid_) known = ActiveAdapter{luid_, name_};
  }
  const std::optional<AdapterReading> reading = ReadTunnelAdapter(known);
  adapter_seen_ = reading.has_value();
  if (!reading) return SampleWith(std::nullopt, std::nullopt, MonotonicMilliseconds());
  // An adapter whose counters cannot be read leaves the baseline alone.
  return SampleWith(reading->adapter, reading->counters, MonotonicMilliseconds());
}

TrafficSampler::Rates TrafficSampler::SampleWith(const std::optional<ActiveAdapter>& adapter,
                                                 const std::optional<InterfaceCounters>& counters,
                                                 std::uint64_t now_ms) {
  if (!adapter) {
    Reset();
    return {};
  }
  if (!counters) return {};
  std::lock_guard guard(lock_);
  if (!valid_ || luid_ != adapter->luid || name_ != adapter->name) {
    valid_ = true;
    luid_ = adapter->luid;
    name_ = adapter->name;
    last_ = *counters;
    last_tick_ = now_ms;
    rates_ = {};
    return {};
  }
  const std::uint64_t elapsed = now_ms - last_tick_;
  if (elapsed < 500) return rates_;
  const double seconds = static_cast<double>(elapsed) / 1000.0;
  // A counter that went backwards (adapter reset) keeps the old rate once.
  if (counters->in_octets >= last_.in_octets) {
    rates_.down = static_cast<double>(counters->in_octets - last_.in_octets) / seconds;
  }
  if (counters->out_octets >= last_.out_octets) {
    rates_.up = static_cast<double>(counters->out_octets - last_.out_octets) / seconds;
  }
  last_ = *counters;
  last_tick_ = now_ms;
  return rates_;
}

void TrafficSampler::Reset() {
  std::lock_guard guard(lock_);
  valid_ = false;
  last_tick_ = 0;
  rates_ = {};
}

TrafficSampler& ProcessTrafficSampler() {
  static TrafficSampler sampler;
  return sampler;
}

}  // namespace vlvpn
