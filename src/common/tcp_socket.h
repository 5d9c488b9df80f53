#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace vlvpn {

// A TCP socket on the loopback address, owned once (move only), closed on destruction.
class TcpSocket {
 public:
  enum class Received { kData, kClosed, kTimedOut, kFailed };

  TcpSocket() = default;
  TcpSocket(TcpSocket&& other) noexcept;
  TcpSocket& operator=(TcpSocket&& other) noexcept;
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;
  ~TcpSocket();

  // A connection to 127.0.0.1:port, or an invalid socket when none opens in time.
  static TcpSocket Connect(std::uint16_t port, std::chrono::milliseconds timeout);
  // A listener on 127.0.0.1:port (0 picks a free port); invalid when the port is taken.
  // On Windows the port is always held exclusively (no other socket may bind it); on
  // Linux `reuse_address` lets a new listener take a port old connections still linger on.
  // `failed`, when given, says which step failed.
  enum class ListenStep { kNone, kCreate, kBind, kListen };
  static TcpSocket Listen(std::uint16_t port, int backlog = 8, bool reuse_address = true,
                          ListenStep* failed = nullptr);

  bool valid() const;
  std::uint16_t LocalPort() const;
  // The next connection, or an invalid socket after the time-out.
  TcpSocket Accept(std::chrono::milliseconds timeout) const;
  bool SendAll(std::string_view data) const;
  // Appends what arrives (waiting at most `timeout`) to `into`.
  Received Receive(std::string& into, std::chrono::milliseconds timeout) const;
  // Ends both directions; a thread blocked in Receive wakes up with kClosed or kFailed.
  void Shutdown() const;
  // Ends our direction only: the peer reads what was sent, then the end.
  void FinishSending() const;

  // Waits until `first` or `second` (null: only `first`) has bytes to read, an end or an
  // error to report. Returns 1 for first, 2 for second, 3 for both; 0 after the time-out.
  static unsigned WaitReadable(const TcpSocket& first, const TcpSocket* second, std::chrono::milliseconds timeout);
  // Two connected ends on the loopback address; invalid ones when that fails.
  static std::pair<TcpSocket, TcpSocket> ConnectedPair();

 private:
  explicit TcpSocket(std::intptr_t native) : native_(native) {}
  void Close();

  std::intptr_t native_ = -1;
};

// Starts the platform's socket library once for the process (Winsock 2.2); nothing elsewhere.
void EnsureSocketsStarted();

}  // namespace vlvpn
