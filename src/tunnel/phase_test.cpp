#include "tunnel/phase.h"

#include <gtest/gtest.h>

#include <array>

namespace vlvpn {
namespace {

constexpr std::array kPhases = {Phase::kIdle,      Phase::kStarting, Phase::kConnecting,
                                Phase::kConnected, Phase::kExiting,  Phase::kEnded};
constexpr std::optional<Phase> kIgnored = std::nullopt;

// What must hold whatever the order of events, checked for every phase and event.
TEST(TunnelPhases, HoldForEveryPhaseAndEvent) {
  using P = Phase;
  using E = TunnelEvent;
  const std::pair<E, P> reports[] = {{E::kReportedConnecting, P::kConnecting},
                                     {E::kReportedConnected, P::kConnected},
                                     {E::kReportedDisconnected, P::kExiting},
                                     {E::kConnectionClosed, P::kEnded}};
  for (const Phase from : kPhases) {
    SCOPED_TRACE(static_cast<int>(from));
    const bool followed = from == P::kConnecting || from == P::kConnected || from == P::kExiting;
    const bool at_rest = from == P::kIdle || from == P::kEnded;
    EXPECT_EQ(Transition(from, E::kUserDisconnected), P::kIdle) << "a user's disconnect always ends idle";
    // OpenVPN's reports count only while its connection is followed, and say where it is.
    for (const auto& [report, to] : reports) EXPECT_EQ(Transition(from, report), followed ? std::optional(to) : kIgnored);
    // One OpenVPN at a time: launched or adopted only from rest.
    EXPECT_EQ(Transition(from, E::kLaunched), at_rest ? std::optional(P::kStarting) : kIgnored);
    EXPECT_EQ(Transition(from, E::kAdopted), at_rest ? std::optional(P::kConnecting) : kIgnored);
    // Only a launched one answers or fails to start; a stop ends whatever there was.
    EXPECT_EQ(Transition(from, E::kAnswered), from == P::kStarting ? std::optional(P::kConnecting) : kIgnored);
    EXPECT_EQ(Transition(from, E::kStartFailed), from == P::kStarting ? std::optional(P::kEnded) : kIgnored);
    EXPECT_EQ(Transition(from, E::kStopped), from == P::kIdle ? kIgnored : std::optional(P::kEnded));
  }
}

// The interface's words, and which ends are drops: a tunnel on its way or up that
// ends is one; one OpenVPN said it leaves is not.
TEST(TunnelPhases, WordsAndDrops) {
  const std::tuple<Phase, std::string_view, bool> cases[] = {
      {Phase::kIdle, "disconnected", false},     {Phase::kStarting, "connecting", false},
      {Phase::kConnecting, "connecting", true},  {Phase::kConnected, "connected", true},
      {Phase::kExiting, "disconnected", false},  {Phase::kEnded, "disconnected", false},
  };
  for (const auto& [phase, word, drop] : cases) {
    EXPECT_EQ(StateWord(phase), word) << static_cast<int>(phase);
    EXPECT_EQ(EndIsADrop(phase), drop) << static_cast<int>(phase);
  }
}

}  // namespace
}  // namespace vlvpn
