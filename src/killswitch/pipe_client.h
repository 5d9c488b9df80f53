#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace vlvpn {

using std::chrono::milliseconds;

// Where the kill-switch service listens and what it is called.
struct KillSwitchEndpoint {
  std::string pipe;     // named pipe (Windows) or unix socket path (Linux)
  std::string service;  // service name (Windows) or systemd unit (Linux)

  // \\.\pipe\VLVPNKillSwitch and VLVPNKillSwitch on Windows; on Linux
  // $VLVPN_KILLSWITCH_SOCKET or /run/VLVPNKillSwitch.sock, and vlvpn-killswitch.
  static KillSwitchEndpoint Default();
};

struct PipeTimings {
  milliseconds open_deadline{3000};
  milliseconds busy_wait{300};
  milliseconds absent_retry{50};
  milliseconds write_timeout{5000};
  milliseconds read_timeout{5000};
};

// Refuses a command that could smuggle a second one: a line feed, carriage return or
// NUL anywhere, or an OPENVPN_START whose path or argument string holds a tab.
bool IsSafeKillSwitchCommand(std::string_view command);

// The reply without trailing carriage returns, line feeds and spaces.
std::string TrimReply(std::string_view reply);

// One-line transactions with the kill-switch service. Every failure (no service, busy
// or closed pipe, time-out, short write, unsafe command) is the empty reply.
class KillSwitchClient {
 public:
  // `service_registered` decides whether an absent pipe is waited for.
  KillSwitchClient(KillSwitchEndpoint endpoint, std::function<bool()> service_registered,
                   PipeTimings timings = {});

  // Sends one command on a fresh connection and returns the reply (at most 511
  // bytes, trimmed). One transaction at a time in the whole process.
  std::string Transact(std::string_view command) const;

  const KillSwitchEndpoint& endpoint() const { return endpoint_; }

 private:
  KillSwitchEndpoint endpoint_;
  std::function<bool()> service_registered_;
  PipeTimings timings_;
};

// The platform's single exchange: connect, write the line, read once, close.
std::string ExchangeOnce(const std::string& pipe, std::string_view line,
                         const std::function<bool()>& registered, const PipeTimings& timings);

inline constexpr std::size_t kMaxReply = 511;

}  // namespace vlvpn
