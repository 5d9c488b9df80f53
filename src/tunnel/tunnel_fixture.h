#pragma once

#include <future>
#include <thread>

#include "common/file_io.h"
#include "common/tcp_socket.h"
#include "support/temp_folder.h"
#include "tunnel/tunnel.h"

namespace vlvpn::testing {

struct Settled {
  bool resolved = false;
  Value value;  // the result, or the rejection object
};

// A promise whose settlement the test can wait for; counts settlements.
class Expectation {
 public:
  Promise MakePromise() {
    return Promise(
        [this](std::optional<Value> v) {
          Settle({true, v.value_or(Value())});
        },
        [this](Value e) {
          Settle({false, std::move(e)});
        });
  }
  Settled Get() {
    auto future = promise_.get_future();
    if (future.wait_for(std::chrono::seconds(60)) != std::future_status::ready)
      return {false, "<never settled>"};
    return future.get();
  }
  int settlements() const { return settlements_.load(); }

 private:
  void Settle(Settled s) {
    if (settlements_++ == 0) promise_.set_value(std::move(s));
  }
  std::promise<Settled> promise_;
  std::atomic<int> settlements_{0};
};

inline std::uint16_t FreePort() { return TcpSocket::Listen(0).LocalPort(); }

// Polls the tunnel's status until `ready` holds (at most `limit`); returns the last status.
inline Value WaitForStatus(Tunnel& tunnel, const std::function<bool(const Value&)>& ready,
                           std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  Value status = tunnel.Status();
  while (!ready(status) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    status = tunnel.Status();
  }
  return status;
}

inline bool IsState(const Value& status, const char* state) { return status["state"] == state; }

}  // namespace vlvpn::testing
