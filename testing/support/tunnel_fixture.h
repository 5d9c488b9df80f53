#pragma once

#include <chrono>
#include <functional>
#include <thread>

#include "common/tcp_socket.h"
#include "support/settlement.h"
#include "tunnel/tunnel.h"

namespace vlvpn::testing {

inline std::uint16_t FreePort() { return TcpSocket::Listen(0).LocalPort(); }

inline ConnectResult Connect(Tunnel& tunnel, const std::string& id, const std::string& config = "server.ovpn",
                             const std::string& username = "", const std::string& password = "") {
  Awaited<ConnectResult> done;
  tunnel.Connect({id, username, password, config}, done.Callback());
  return done.Await("connect " + id);
}

inline void Disconnect(Tunnel& tunnel) {
  Awaited<bool> done;
  tunnel.Disconnect([callback = done.Callback()] { callback(true); });
  done.Await("disconnect");
}

// Polls the tunnel's status until `ready` holds (at most `limit`); returns the last status.
inline TunnelStatus WaitForStatus(Tunnel& tunnel, const std::function<bool(const TunnelStatus&)>& ready,
                                  std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  TunnelStatus status = tunnel.Status();
  while (!ready(status) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    status = tunnel.Status();
  }
  return status;
}

inline TunnelStatus WaitForState(Tunnel& tunnel, std::string_view state) {
  return WaitForStatus(tunnel, [state](const TunnelStatus& s) { return s.state == state; });
}

}  // namespace vlvpn::testing
