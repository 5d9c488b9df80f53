#include "killswitch/pipe_client.h"

#include <algorithm>
#include <mutex>

#include "common/text.h"

namespace vlvpn {

bool IsSafeKillSwitchCommand(std::string_view command) {
  if (command.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) return false;
  constexpr std::string_view kStart = "OPENVPN_START\t";
  if (command.substr(0, kStart.size()) == kStart) {
    // Exactly two fields follow: the program's path and the argument string.
    return std::count(command.begin(), command.end(), '\t') == 2;
  }
  return true;
}

std::string TrimReply(std::string_view reply) { return std::string(TrimTrailing(reply, "\r\n ")); }

KillSwitchClient::KillSwitchClient(KillSwitchEndpoint endpoint, std::function<bool()> service_registered,
                                   PipeTimings timings)
    : endpoint_(std::move(endpoint)), service_registered_(std::move(service_registered)), timings_(timings) {}

std::string KillSwitchClient::Transact(std::string_view command) const {
  if (!IsSafeKillSwitchCommand(command)) return {};
  static std::mutex pipe_lock;
  std::lock_guard guard(pipe_lock);
  return TrimReply(ExchangeOnce(endpoint_.pipe, std::string(command) + "\n", service_registered_, timings_));
}

}  // namespace vlvpn
