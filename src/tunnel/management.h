#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
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
  // Connects to 127.0.0.1:port within the time-out; null when nothing answers. With a
  // password, answers OpenVPN's prompt for it (null when it is refused); an OpenVPN that
  // asks for none is taken as it is.
  static std::shared_ptr<ManagementConnection> Open(
      std::uint16_t port, std::string_view password = {},
      std::chrono::milliseconds timeout = std::chrono::seconds(1));

  // What arrived, as TcpSocket::Receive, starting with what the log-in read past.
  TcpSocket::Received Receive(std::string& out, std::chrono::milliseconds timeout) const;

  // Sends the command and "\r\n"; failures are ignored.
  void Send(std::string_view command) const;
  // Ends the connection both ways; a blocked reader wakes up.
  void Shutdown() const { socket_.Shutdown(); }
  const TcpSocket& socket() const { return socket_; }

  explicit ManagementConnection(TcpSocket socket) : socket_(std::move(socket)) {}

 private:
  bool LogIn(std::string_view password, std::chrono::milliseconds timeout);

  TcpSocket socket_;
  mutable std::mutex send_lock_;
  mutable std::string early_;  // read during the log-in, not yet handed out (the reader's)
};

// Asks for the current state ("state") and reads the reply with bounded waits.
std::string QueryState(const ManagementConnection& connection,
                       std::chrono::milliseconds timeout = std::chrono::milliseconds(3750));

// Whether OpenVPN's greeting (">INFO:OpenVPN Management Interface ...") arrives on the
// connection within the time-out: what tells OpenVPN from another program on the port.
bool GreetedByOpenVpn(const ManagementConnection& connection, std::chrono::milliseconds timeout);

// What a followed management connection says: the state words, in order, of its
// ">STATE:" lines and of the reply to the one "state" asked when following starts
// (lines before its "END"). Everything else is ignored.
class StateReader {
 public:
  std::vector<std::string> Feed(std::string_view bytes);
  // How often OpenVPN has reported a restart (RECONNECTING): each ends a failed try.
  std::size_t restarts() const { return restarts_; }

 private:
  LineSplitter lines_;
  bool in_state_reply_ = true;
  std::size_t restarts_ = 0;
};

}  // namespace vlvpn
