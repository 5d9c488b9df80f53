#include "killswitch/launch.h"

#include <thread>

#include "common/text.h"

namespace vlvpn {
namespace {

using namespace std::chrono_literals;

bool Contains(std::string_view text, std::string_view needle) {
  return text.find(needle) != std::string_view::npos;
}

// Sends "PING" until "PONG" or the retries are used up; an unregistered service gets one.
bool Reach(const LaunchActions& actions, bool registered, int retries) {
  if (Contains(actions.transact("PING"), "PONG")) return true;
  if (!registered) return false;
  for (int i = 0; i < retries; ++i) {
    actions.sleep(200ms);
    if (Contains(actions.transact("PING"), "PONG")) return true;
  }
  return false;
}

// The service is there: have it stop any OpenVPN it runs and start ours.
// nullopt means silence.
std::optional<LaunchOutcome> StartThroughService(const std::filesystem::path& program,
                                                 const std::string& arguments, const LaunchActions& actions) {
  actions.transact("OPENVPN_STOP");
  const std::string start = "OPENVPN_START\t" + PathToUtf8(program) + "\t" + arguments;
  std::string reply = actions.transact(start);
  for (int i = 0; i < 3 && reply.empty(); ++i) {
    const std::string status = actions.transact("OPENVPN_STATUS");
    if (Contains(status, "RUNNING")) {
      const std::size_t space = status.find(' ');
      reply = space == std::string::npos ? "OK 0" : "OK " + status.substr(space + 1);
      break;
    }
    reply = actions.transact(start);
  }
  if (reply.empty()) return std::nullopt;
  LaunchOutcome outcome;
  if (reply.rfind("OK ", 0) == 0) {
    outcome.ok = true;
    outcome.via_service = true;
    if (const auto pid = ParseProcessId(std::string_view(reply).substr(3)); pid && *pid != 0) {
      outcome.process = actions.open_process(*pid);
    }
    return outcome;
  }
  outcome.error = "Kill-switch service could not start OpenVPN (" + reply + ")";
  return outcome;
}

}  // namespace

std::optional<std::uint32_t> ParseProcessId(std::string_view text) {
  const auto value = ParseDecimal(text, 0xFFFFFFFFu);
  if (!value) return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

LaunchOutcome LaunchOpenVpn(const std::filesystem::path& program, const std::string& arguments,
                            const LaunchActions& actions) {
  try {
    const bool registered = actions.service_registered();
    bool reached = Reach(actions, registered, 10);
    if (!reached && registered) {
      const ServiceStart start = actions.start_service();
      if (start != ServiceStart::kFailed) reached = Reach(actions, registered, 15);
    }
    if (reached) {
      if (auto outcome = StartThroughService(program, arguments, actions)) return *outcome;
    }
    if (registered) return {false, nullptr, false, std::string(kServiceNotResponding)};

    const ElevatedStart elevated = actions.start_elevated(program, arguments);
    if (elevated.started) return {true, elevated.process, false, {}};
    if (elevated.declined) return {false, nullptr, false, std::string(kElevationDeclined)};
    return {false, nullptr, false, "Failed to launch OpenVPN (error " + std::to_string(elevated.error) + ")"};
  } catch (const std::exception& e) {
    return {false, nullptr, false, e.what()};
  }
}

LaunchActions SystemLaunchActions(const KillSwitchClient& client) {
  LaunchActions actions;
  const KillSwitchEndpoint endpoint = client.endpoint();
  actions.service_registered = [endpoint] { return IsServiceRegistered(endpoint); };
  actions.transact = [&client](std::string_view command) { return client.Transact(command); };
  actions.start_service = [endpoint] { return StartKillSwitchService(endpoint); };
  actions.sleep = [](std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); };
  actions.open_process = [](std::uint32_t pid) { return ProcessHandle::Open(pid); };
  actions.start_elevated = StartElevated;
  return actions;
}

}  // namespace vlvpn
