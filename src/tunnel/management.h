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
#include "tunnel/phase.h"

namespace vlvpn {

// Tells OpenVPN to end; it answers ">STATE:...,EXITING,SIGTERM" and closes the connection.
inline constexpr std::string_view kSignalTerm = "signal SIGTERM";

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

// Whether OpenVPN's greeting (">INFO:OpenVPN Management Interface ...") arrives on the
// connection within the time-out: what tells OpenVPN from another program on the port.
bool GreetedByOpenVpn(const ManagementConnection& connection, std::chrono::milliseconds timeout);

// The tunnel monitor: one thread that reads OpenVPN's state lines from a connection and
// reports them, and the connection's end. Started and stopped by one owner only.
class TunnelMonitor {
 public:
  // Called on the monitor's thread, tagged with the serial given to Start.
  struct Events {
    std::function<void(std::uint64_t serial, std::string word)> reported;
    std::function<void(std::uint64_t serial)> ended;  // closed, reset or failed; the thread then ends
  };

  explicit TunnelMonitor(Events events) : events_(std::move(events)) {}
  TunnelMonitor(const TunnelMonitor&) = delete;
  TunnelMonitor& operator=(const TunnelMonitor&) = delete;
  ~TunnelMonitor() { Stop(); }

  // Stops a running monitor, then follows this connection.
  void Start(std::shared_ptr<ManagementConnection> connection, std::uint64_t serial);
  // Returns once the monitor thread has ended; wakes it from its wait. Nothing more is
  // reported after it returns.
  void Stop();
  bool Running() const { return thread_.joinable(); }

 private:
  void Run(const std::shared_ptr<ManagementConnection>& connection, std::uint64_t serial);

  Events events_;
  std::atomic<bool> running_{false};
  std::thread thread_;
  std::shared_ptr<ManagementConnection> current_;
};

}  // namespace vlvpn
