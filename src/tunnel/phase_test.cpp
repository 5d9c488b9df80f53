#include "tunnel/phase.h"

#include <gtest/gtest.h>

#include <array>

namespace vlvpn {
namespace {

constexpr std::array kPhases = {Phase::kIdle,      Phase::kStarting, Phase::kConnecting,
                                Phase::kConnected, Phase::kExiting,  Phase::kEnded};
constexpr std::optional<Phase> kIgnored = std::nullopt;

// Each event, from each phase in the order of kPhases: where it leads, or ignored.
TEST(TunnelPhases, EveryTransition) {
  using P = Phase;
  using E = TunnelEvent;
  const std::pair<E, std::array<std::optional<P>, 6>> table[] = {
      {E::kLaunched, {P::kStarting, kIgnored, kIgnored, kIgnored, kIgnored, P::kStarting}},
      {E::kAnswered, {kIgnored, P::kConnecting, kIgnored, kIgnored, kIgnored, kIgnored}},
      {E::kAdopted, {P::kConnecting, kIgnored, kIgnored, kIgnored, kIgnored, P::kConnecting}},
      {E::kReportedConnecting, {kIgnored, kIgnored, P::kConnecting, P::kConnecting, P::kConnecting, kIgnored}},
      {E::kReportedConnected, {kIgnored, kIgnored, P::kConnected, P::kConnected, P::kConnected, kIgnored}},
      {E::kReportedDisconnected, {kIgnored, kIgnored, P::kExiting, P::kExiting, P::kExiting, kIgnored}},
      {E::kConnectionClosed, {kIgnored, kIgnored, P::kEnded, P::kEnded, P::kEnded, kIgnored}},
      {E::kStartFailed, {kIgnored, P::kEnded, kIgnored, kIgnored, kIgnored, kIgnored}},
      {E::kStopped, {kIgnored, P::kEnded, P::kEnded, P::kEnded, P::kEnded, P::kEnded}},
      {E::kUserDisconnected, {P::kIdle, P::kIdle, P::kIdle, P::kIdle, P::kIdle, P::kIdle}},
  };
  for (const auto& [event, to] : table) {
    for (std::size_t i = 0; i < kPhases.size(); ++i) {
      EXPECT_EQ(Transition(kPhases[i], event), to[i])
          << "event " << static_cast<int>(event) << " from phase " << static_cast<int>(kPhases[i]);
    }
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
