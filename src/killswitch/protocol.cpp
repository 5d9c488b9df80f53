#include "killswitch/protocol.h"

#include "common/text.h"

namespace vlvpn {
namespace kill_switch_protocol {

std::string StartOpenVpnCommand(const std::filesystem::path& program, std::string_view arguments) {
  return std::string(kStartOpenVpn) + "\t" + PathToUtf8(program) + "\t" + std::string(arguments);
}

std::string EnableCommand(const KillSwitchFacts& facts, int flag, std::string_view program) {
  return std::string(kEnable) + " " + (facts.protocol.empty() ? std::string("any") : facts.protocol) + " " +
         std::to_string(facts.port) + " " + std::to_string(flag) + " " +
         (facts.addresses.empty() ? std::string("none") : facts.addresses) + " " + std::string(program);
}

OpenVpnStatus ParseStatusReply(std::string_view reply) {
  OpenVpnStatus status;
  // A reply that says both is believed in neither way: a launch must not take an
  // OpenVPN for started, nor a tunnel for ended, on it.
  const bool says_running = Contains(reply, kRunning);
  const bool says_stopped = Contains(reply, kStopped);
  status.running = says_running && !says_stopped;
  status.stopped = says_stopped && !says_running;
  if (const std::size_t space = reply.find(' '); space != std::string_view::npos) {
    status.detail = std::string(reply.substr(space + 1));
  }
  return status;
}

std::optional<std::uint32_t> ParseProcessId(std::string_view text) {
  const auto value = ParseDecimal(text, 0xFFFFFFFFu);
  if (!value) return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

}  // namespace kill_switch_protocol

namespace ksp = kill_switch_protocol;

bool KillSwitchService::Ping() const { return Contains(Send(ksp::kPing), ksp::kPong); }

std::string KillSwitchService::StartOpenVpn(const std::filesystem::path& program,
                                            std::string_view arguments) const {
  return Send(ksp::StartOpenVpnCommand(program, arguments));
}

void KillSwitchService::StopOpenVpn() const { Send(ksp::kStopOpenVpn); }

ksp::OpenVpnStatus KillSwitchService::Status() const { return ksp::ParseStatusReply(Send(ksp::kStatus)); }

void KillSwitchService::Enable(const KillSwitchFacts& facts, int flag) const {
  Send(ksp::EnableCommand(facts, flag, program_));
}

void KillSwitchService::Disable() const { Send(ksp::kDisable); }

void KillSwitchService::BlockIpv6(bool block) const { Send(block ? ksp::kBlockIpv6 : ksp::kUnblockIpv6); }

}  // namespace vlvpn
