#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "common/process_handle.h"

namespace vlvpn {

inline constexpr std::string_view kStateDisconnected = "disconnected";
inline constexpr std::string_view kStateConnecting = "connecting";
inline constexpr std::string_view kStateConnected = "connected";

// The tunnel as this process knows it. Handles are shared pointers so that a copy
// taken under the lock stays valid after it is released, and the handle is closed
// once, by whoever lets go of it last.
struct TunnelRecord {
  std::string state{kStateDisconnected};
  std::string message;
  std::string profile_id;
  std::filesystem::path log_path;
  std::shared_ptr<ProcessHandle> process;
  std::shared_ptr<class ManagementConnection> management;
  // The kill switch's server facts live under the same lock.
  std::string server_protocol;
  std::int32_t server_port = 0;
  std::string server_addresses;  // dotted IPv4 addresses joined by ","
};

// The one tunnel record of the process, its lock and the switches beside it.
// Under the lock only copies and assignments happen: no pipe transaction, no join,
// no wait for another thread (except the short waits the connect flow names).
class TunnelState {
 public:
  TunnelRecord Snapshot() const {
    std::lock_guard guard(lock_);
    return record_;
  }

  // Runs `change` on the record under the lock and returns what it returns.
  template <typename Change>
  auto Update(Change&& change) {
    std::lock_guard guard(lock_);
    return change(record_);
  }

  std::atomic<std::uint64_t> connect_generation{0};
  std::atomic<std::int32_t> connects_in_flight{0};
  std::atomic<bool> tunnel_wanted{false};
  std::atomic<bool> launched_via_service{false};

 private:
  mutable std::mutex lock_;
  TunnelRecord record_;
};

}  // namespace vlvpn
