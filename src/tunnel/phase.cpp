#include "tunnel/phase.h"

namespace vlvpn {

std::optional<Phase> Transition(Phase from, TunnelEvent event) {
  const bool followed = from == Phase::kConnecting || from == Phase::kConnected || from == Phase::kExiting;
  const bool nothing_runs = from == Phase::kIdle || from == Phase::kEnded;
  switch (event) {
    case TunnelEvent::kLaunched:
      if (nothing_runs) return Phase::kStarting;
      break;
    case TunnelEvent::kAnswered:
      if (from == Phase::kStarting) return Phase::kConnecting;
      break;
    case TunnelEvent::kAdopted:
      if (nothing_runs) return Phase::kConnecting;
      break;
    case TunnelEvent::kReportedConnecting:
      if (followed) return Phase::kConnecting;
      break;
    case TunnelEvent::kReportedConnected:
      if (followed) return Phase::kConnected;
      break;
    case TunnelEvent::kReportedDisconnected:
      if (followed) return Phase::kExiting;
      break;
    case TunnelEvent::kConnectionClosed:
      if (followed) return Phase::kEnded;
      break;
    case TunnelEvent::kStartFailed:
      if (from == Phase::kStarting) return Phase::kEnded;
      break;
    case TunnelEvent::kStopped:
      if (from != Phase::kIdle) return Phase::kEnded;
      break;
    case TunnelEvent::kUserDisconnected:
      return Phase::kIdle;
  }
  return std::nullopt;
}

std::string_view StateWord(Phase phase) {
  switch (phase) {
    case Phase::kStarting:
    case Phase::kConnecting:
      return kStateConnecting;
    case Phase::kConnected:
      return kStateConnected;
    case Phase::kIdle:
    case Phase::kExiting:
    case Phase::kEnded:
      break;
  }
  return kStateDisconnected;
}

bool EndIsADrop(Phase phase) { return phase == Phase::kConnecting || phase == Phase::kConnected; }

}  // namespace vlvpn
