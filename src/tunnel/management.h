#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/tcp_socket.h"
#include "tunnel/tunnel_state.h"

namespace vlvpn {

// OpenVPN's state word as one of ours: "connected", "connecting", "disconnected", or
// empty for a word we do not follow.
std::string MapOpenVpnState(std::string_view word);

// The mapped word of a ">STATE:time,WORD,..." line; nullopt for any other line.
std::optional<std::string> StateOfLine(std::string_view line);

// Cuts a byte stream into lines. A line longer than the cap is cut there and the rest
// up to its line feed is dropped, so a peer cannot make us hold unbounded text.
class LineSplitter {
 public:
  static constexpr std::size_t kMaxLine = 64 * 1024;
  void Append(std::string_view bytes);
  // The next complete line without its line end.
  std::optional<std::string> Next();

 private:
  std::string buffer_;
  std::vector<std::string> ready_;
  std::size_t taken_ = 0;
  bool discarding_ = false;
};

// One connection to OpenVPN's management interface, shared by the record (which may
// send on it) and the monitor (which alone reads it). Closed when the last owner lets go.
class ManagementConnection {
 public:
  // Connects to 127.0.0.1:port within the time-out; null when nothing answers.
  static std::shared_ptr<ManagementConnection> Open(
      std::uint16_t port, std::chrono::milliseconds timeout = std::chrono::seconds(1));

  // Sends the command and "\r\n"; failures are ignored.
  void Send(std::string_view command) const;
  // Ends the connection both ways; a blocked reader wakes up.
  void Shutdown() const { socket_.Shutdown(); }
  const TcpSocket& socket() const { return socket_; }

  explicit ManagementConnection(TcpSocket socket) : socket_(std::move(socket)) {}

 private:
  TcpSocket socket_;
  mutable std::mutex send_lock_;
};

// Asks for the current state ("state") and reads the reply with bounded waits.
std::string QueryState(const ManagementConnection& connection);

// The tunnel monitor: reads OpenVPN's state lines and keeps the record current.
class TunnelMonitor {
 public:
  struct Hooks {
    std::function<void()> became_connected;  // BLOCK_IPV6 when the block is on
    std::function<void()> dropped;           // UNBLOCK_IPV6, re-apply the kill switch
    std::function<std::string(const std::filesystem::path&)> diagnose;
  };

  TunnelMonitor(TunnelState& state, Hooks hooks) : state_(state), hooks_(std::move(hooks)) {}
  TunnelMonitor(const TunnelMonitor&) = delete;
  TunnelMonitor& operator=(const TunnelMonitor&) = delete;
  ~TunnelMonitor() { Stop(); }

  // Stops a running monitor, then follows this connection.
  void Start(std::shared_ptr<ManagementConnection> connection);
  // Returns once the monitor thread has ended; wakes it from its wait.
  void Stop();
  bool Running() const { return running_.load(); }

 private:
  void Run(const std::shared_ptr<ManagementConnection>& connection);
  void Apply(const std::string& word);
  void Dropped(const std::shared_ptr<ManagementConnection>& connection);

  TunnelState& state_;
  Hooks hooks_;
  std::mutex lock_;  // start and stop only
  std::atomic<bool> running_{false};
  std::thread thread_;
  std::shared_ptr<ManagementConnection> current_;
};

}  // namespace vlvpn
