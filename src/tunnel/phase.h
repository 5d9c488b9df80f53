#pragma once

#include <optional>
#include <string_view>

namespace vlvpn {

inline constexpr std::string_view kStateDisconnected = "disconnected";
inline constexpr std::string_view kStateConnecting = "connecting";
inline constexpr std::string_view kStateConnected = "connected";

// Where the tunnel is. The interface's three words are derived from it.
enum class Phase {
  kIdle,        // nothing started or adopted, or the user disconnected
  kStarting,    // OpenVPN launched; its management interface has not answered yet
  kConnecting,  // followed by the monitor; OpenVPN is on its way
  kConnected,   // followed; OpenVPN reports CONNECTED
  kExiting,     // followed; OpenVPN reported DISCONNECTED or EXITING
  kEnded,       // no longer followed: it dropped, failed to start or was stopped for another
};

enum class TunnelEvent {
  kLaunched,          // a connect started OpenVPN
  kAnswered,          // its management interface answered; the monitor follows it
  kAdopted,           // a running OpenVPN was taken over
  kReportedConnecting,
  kReportedConnected,
  kReportedDisconnected,
  kConnectionClosed,  // the management connection the monitor read has ended
  kStartFailed,       // OpenVPN exited before answering, or never answered
  kStopped,           // a newer connect (or a given-up attempt) stopped it
  kUserDisconnected,
};

// The phase an event leads to; nullopt when the event means nothing in that phase (a
// stale report of a connection that is no longer followed, say) and is ignored.
std::optional<Phase> Transition(Phase from, TunnelEvent event);

// "disconnected", "connecting" or "connected".
std::string_view StateWord(Phase phase);

// A connection that ends in this phase is a drop the user must be told about, and the
// kill switch takes over (an ending after OpenVPN said it exits is no drop).
bool EndIsADrop(Phase phase);

}  // namespace vlvpn
