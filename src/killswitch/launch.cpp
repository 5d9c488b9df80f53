#include "killswitch/launch.h"

#include <thread>

#include "common/text.h"

namespace vlvpn {
namespace {

using namespace std::chrono_literals;
namespace ksp = kill_switch_protocol;

bool Cancelled(const LaunchActions& actions) { return actions.cancelled && actions.cancelled(); }

// Sends "PING" until "PONG" or the retries are used up; an unregistered service gets one.
bool Reach(const LaunchActions& actions, const KillSwitchService& service, bool registered, int retries) {
  if (service.Ping()) return true;
  if (!registered) return false;
  for (int i = 0; i < retries && !Cancelled(actions); ++i) {
    actions.sleep(200ms);
    if (service.Ping()) return true;
  }
  return false;
}

LaunchOutcome CancelledOutcome() {
  LaunchOutcome outcome;
  outcome.cancelled = true;
  return outcome;
}

// The service is there: have it stop any OpenVPN it runs and start ours.
// nullopt means silence.
std::optional<LaunchOutcome> StartThroughService(const std::filesystem::path& program,
                                                 const std::string& arguments, const LaunchActions& actions,
                                                 const KillSwitchService& service) {
  service.StopOpenVpn();
  std::string reply = service.StartOpenVpn(program, arguments);
  for (int i = 0; i < 3 && reply.empty() && !Cancelled(actions); ++i) {
    const ksp::OpenVpnStatus status = service.Status();
    if (status.running) {
      reply = "OK " + (status.detail.empty() ? std::string("0") : status.detail);
      break;
    }
    reply = service.StartOpenVpn(program, arguments);
  }
  if (reply.empty()) return std::nullopt;
  LaunchOutcome outcome;
  if (reply.rfind("OK ", 0) == 0) {
    outcome.ok = true;
    outcome.via_service = true;
    if (const auto pid = ksp::ParseProcessId(std::string_view(reply).substr(3)); pid && *pid != 0) {
      outcome.process = actions.open_process(*pid);
    }
    return outcome;
  }
  outcome.error = "Kill-switch service could not start OpenVPN (" + reply + ")";
  return outcome;
}

}  // namespace

LaunchOutcome LaunchOpenVpn(const std::filesystem::path& program, const std::string& arguments,
                            const LaunchActions& actions) {
  try {
    const KillSwitchService service(actions.transact, {});
    const bool registered = actions.service_registered();
    bool reached = Reach(actions, service, registered, 10);
    if (!reached && registered && !Cancelled(actions)) {
      const ServiceStart start = actions.start_service();
      if (start != ServiceStart::kFailed) reached = Reach(actions, service, registered, 15);
    }
    if (Cancelled(actions)) return CancelledOutcome();
    if (reached) {
      if (auto outcome = StartThroughService(program, arguments, actions, service)) return *outcome;
      if (Cancelled(actions)) return CancelledOutcome();
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
