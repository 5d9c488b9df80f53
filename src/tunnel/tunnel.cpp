#include "tunnel/tunnel.h"

#include <thread>

#include "common/process_path.h"
#include "common/resolve.h"
#include "common/text.h"
#include "device/tap_adapter.h"
#include "modules/worker.h"
#include "storage/names.h"
#include "storage/profile_store.h"
#include "tunnel/diagnosis.h"
#include "tunnel/openvpn_lookup.h"
#include "tunnel/openvpn_process.h"
#include "tunnel/profile_files.h"

namespace vlvpn {
namespace {

using namespace std::chrono_literals;

Value StateObject(std::string_view state, bool superseded = false) {
  Value result = Value::object();
  result["state"] = std::string(state);
  if (superseded) result["superseded"] = true;
  return result;
}

bool Contains(std::string_view text, std::string_view needle) {
  return text.find(needle) != std::string_view::npos;
}

}  // namespace

std::shared_ptr<Tunnel> Tunnel::Create(const DataLocations& locations, TunnelEnvironment environment) {
  return std::shared_ptr<Tunnel>(new Tunnel(locations, std::move(environment)));
}

Tunnel::Tunnel(const DataLocations& locations, TunnelEnvironment environment)
    : locations_(locations),
      environment_(std::move(environment)),
      kill_switch_(
          state_, locations_,
          {environment_.transact, environment_.resolve,
           [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); }, environment_.program}),
      monitor_(state_, {[this] { kill_switch_.OnConnected(); }, [this] { kill_switch_.OnDrop(); },
                        [](const std::filesystem::path& log) { return DiagnoseLog(log); }}) {}

Tunnel::~Tunnel() { monitor_.Stop(); }

void Tunnel::Connect(std::string profile_id, std::string username, std::string password,
                     std::string config_name, Promise promise) {
  const std::uint64_t generation = ++state_.connect_generation;
  // Counted here, so a status call right after this one cannot adopt beside the connect.
  ++state_.connects_in_flight;
  auto self = shared_from_this();
  auto attempt = std::make_shared<Attempt>(Attempt{generation, std::move(profile_id), std::move(username),
                                                   std::move(password), std::move(config_name), promise});
  // Lowered when the worker is done with it, or when it never started.
  std::shared_ptr<void> in_flight(nullptr, [self](void*) { --self->state_.connects_in_flight; });
  RunOnWorker(std::move(promise), [self, attempt, in_flight](const Promise&) { self->RunConnect(*attempt); });
}

void Tunnel::RunConnect(Attempt& attempt) {
  const Promise& promise = attempt.promise;
  const std::filesystem::path openvpn = environment_.locate_openvpn();
  if (openvpn.empty()) return promise.Reject(kOpenVpnNotFound);
  if (!environment_.ensure_tap(openvpn)) return promise.Reject(kNoTapAdapter);
  if (auto problem = PlainNameProblem(attempt.profile_id, "profile id")) return promise.Reject(*problem);
  // Found before anything is stopped or written: a connect without a configuration
  // must not tear down the tunnel that runs.
  const std::filesystem::path folder = locations_.ProfileFolder(attempt.profile_id);
  const std::optional<std::filesystem::path> config = FindConfigFile(folder, attempt.config_name);
  if (!config) return promise.Reject(ConfigNotFoundMessage(attempt.profile_id));
  // Credentials that cannot be written are refused before the running tunnel is touched.
  if (!attempt.username.empty()) ProfileStore::CredentialsFileText(attempt.username, attempt.password);

  std::filesystem::path log;
  LaunchOutcome launched;
  {
    std::lock_guard connecting(connect_lock_);
    // Overtaken while waiting (a newer connect or a disconnect): do nothing at all.
    if (!Current(attempt.generation)) return promise.Resolve(StateObject(kStateConnecting, true));
    StopEarlierOpenVpn();
    const std::optional<std::filesystem::path> credentials =
        PrepareCredentials(folder, attempt.username, attempt.password);
    log = RotateLog(folder);
    kill_switch_.PrepareForConnect(*config);
    const std::string args = BuildOpenVpnArguments(*config, credentials, log, environment_.windows_driver,
                                                   environment_.management_port);
    kill_switch_.ApplyIpv6ForConnect();
    if (!Current(attempt.generation)) return promise.Resolve(StateObject(kStateConnecting, true));
    launched = environment_.launch(openvpn, args);
    if (!launched.ok)
      return promise.Reject(launched.error.empty() ? "Failed to launch OpenVPN" : launched.error);
    state_.Update([&](TunnelRecord& r) {
      r.process = launched.process;
      r.state = std::string(kStateConnecting);
      r.profile_id = attempt.profile_id;
      r.log_path = log;
    });
    state_.launched_via_service = launched.via_service;
    kill_switch_.WriteActive(attempt.profile_id);
    state_.tunnel_wanted = true;
  }

  std::shared_ptr<ManagementConnection> connection;
  bool exited = false;
  for (int pass = 0; pass < environment_.management_passes && !connection && !exited; ++pass) {
    std::this_thread::sleep_for(environment_.management_pass);
    // A newer connect or a disconnect took over; it stops this OpenVPN itself.
    if (!Current(attempt.generation)) return promise.Resolve(StateObject(kStateConnecting, true));
    connection = ManagementConnection::Open(environment_.management_port);
    if (launched.process) {
      exited = launched.process->HasExited();
    } else if (launched.via_service) {
      exited = Contains(environment_.transact("OPENVPN_STATUS"), "STOPPED");
    }
  }
  if (exited) connection.reset();
  if (!connection) return Fail(attempt, exited ? kExitedEarly : kNoManagement);

  {
    std::lock_guard connecting(connect_lock_);
    if (!Current(attempt.generation)) return promise.Resolve(StateObject(kStateConnecting, true));
    state_.Update([&connection](TunnelRecord& r) { r.management = connection; });
    monitor_.Start(connection);
  }
  promise.Resolve(StateObject(kStateConnecting));
}

void Tunnel::Fail(const Attempt& attempt, std::string_view fallback) {
  std::string text;
  {
    std::lock_guard connecting(connect_lock_);
    const std::filesystem::path log = state_.Snapshot().log_path;
    text = DiagnoseLog(log);
    if (text.empty()) text = std::string(fallback);
    // Only the newest attempt may touch what is shared: an older one would stop the
    // newer OpenVPN or write over its state.
    if (Current(attempt.generation)) {
      if (state_.launched_via_service.exchange(false)) environment_.transact("OPENVPN_STOP");
      state_.Update([&text](TunnelRecord& r) {
        r.state = std::string(kStateDisconnected);
        r.message = text;
      });
    }
  }
  attempt.promise.Reject(text);
}

std::shared_ptr<ManagementConnection> Tunnel::WaitForManagementOf(
    const std::shared_ptr<ProcessHandle>& process) {
  auto connection = ManagementConnection::Open(environment_.management_port);
  // An OpenVPN this process launched may still be starting: give it the connect
  // wait's time to open its port, so it can be told to stop rather than left running.
  for (int pass = 0; !connection && process && !process->HasExited() && pass < environment_.management_passes;
       ++pass) {
    std::this_thread::sleep_for(environment_.management_pass);
    connection = ManagementConnection::Open(environment_.management_port);
  }
  return connection;
}

void Tunnel::StopEarlierOpenVpn() {
  const TunnelRecord before = state_.Snapshot();
  if (!before.management) {
    if (auto connection = WaitForManagementOf(before.process)) {
      connection->Send("signal SIGTERM");
      connection.reset();
      for (int i = 0; i < 30; ++i) {
        std::this_thread::sleep_for(50ms);
        if (!ManagementConnection::Open(environment_.management_port)) break;
      }
    }
  }
  state_.Update([](TunnelRecord& r) {
    if (r.management) r.management->Send("signal SIGTERM");
  });
  monitor_.Stop();
  const std::shared_ptr<ProcessHandle> process = state_.Update([](TunnelRecord& r) {
    r.management.reset();
    return std::exchange(r.process, nullptr);
  });
  if (process) process->WaitForExit(2000ms);
}

void Tunnel::Disconnect(Promise promise) {
  // The user's last word: every connect still under way now gives way.
  ++state_.connect_generation;
  state_.tunnel_wanted = false;
  auto self = shared_from_this();
  RunOnWorker(std::move(promise), [self](const Promise& settle) {
    {
      std::lock_guard connecting(self->connect_lock_);
      const bool via_service = self->state_.launched_via_service.load();
      const TunnelRecord before = self->state_.Snapshot();
      if (before.management) {
        before.management->Send("signal SIGTERM");
      } else if (before.process) {
        if (auto connection = self->WaitForManagementOf(before.process)) connection->Send("signal SIGTERM");
      }
      if (before.process) {
        before.process->WaitForExit(3000ms);
      } else {
        for (int i = 0; i < 20; ++i) {
          std::this_thread::sleep_for(50ms);
          if (!ManagementConnection::Open(self->environment_.management_port)) break;
        }
      }
      if (via_service) self->environment_.transact("OPENVPN_STOP");
      self->state_.launched_via_service = false;
      self->monitor_.Stop();
      self->state_.Update([](TunnelRecord& r) {
        r.management.reset();
        r.process.reset();
        r.state = std::string(kStateDisconnected);
        r.message.clear();
        r.profile_id.clear();
        r.log_path.clear();
      });
      self->kill_switch_.OnUserDisconnect();
    }
    settle.Resolve(StateObject(kStateDisconnected));
  });
}

void Tunnel::Adopt() {
  if (state_.connects_in_flight > 0 || monitor_.Running()) return;
  const TunnelRecord before = state_.Snapshot();
  if (before.management || before.state == kStateConnected || before.state == kStateConnecting) return;
  auto connection = ManagementConnection::Open(environment_.management_port);
  if (!connection) return;
  std::string word = QueryState(*connection);
  if (word == kStateConnecting) {
    std::this_thread::sleep_for(350ms);
    if (std::string again = QueryState(*connection); !again.empty()) word = again;
  }
  const std::uint32_t pid = environment_.find_openvpn_process(environment_.management_port);
  const std::shared_ptr<ProcessHandle> process = pid != 0 ? environment_.open_process(pid) : nullptr;
  const KillSwitchFacts facts = kill_switch_.ReadFacts();
  const std::string profile_id = kill_switch_.ReadActive();
  state_.Update([&](TunnelRecord& r) {
    r.management = connection;
    r.state = word;
    r.profile_id = profile_id;
    r.server_protocol = facts.protocol;
    r.server_port = facts.port;
    r.server_addresses = facts.addresses;
    r.process = process;
  });
  state_.launched_via_service = Contains(environment_.transact("OPENVPN_STATUS"), "RUNNING");
  state_.tunnel_wanted = true;
  monitor_.Start(connection);
  kill_switch_.OnAdoption(word);
}

Value Tunnel::Status() {
  if (!adoption_tried_.exchange(true)) Adopt();
  const TunnelRecord record = state_.Snapshot();
  std::string state = record.state;
  std::string message = record.message;
  std::uint32_t pid = 0;
  if (record.process) {
    if (!record.process->HasExited()) {
      pid = record.process->pid();
    } else {
      if (state == kStateConnecting || state == kStateConnected) state = std::string(kStateDisconnected);
      if (message.empty()) message = DiagnoseLog(record.log_path);
    }
  }
  Value result = Value::object();
  result["state"] = state.empty() ? std::string(kStateDisconnected) : state;
  if (!message.empty()) result["message"] = message;
  if (!record.profile_id.empty()) result["profileId"] = record.profile_id;
  if (pid > 0) result["pid"] = pid;
  if (state == kStateConnected) {
    const TrafficSampler::Rates rates = environment_.sample_traffic();
    result["downBps"] = static_cast<std::int64_t>(rates.down);
    result["upBps"] = static_cast<std::int64_t>(rates.up);
    result["adapterUp"] = environment_.adapter_up();
  } else {
    environment_.reset_traffic();
    result["downBps"] = 0;
    result["upBps"] = 0;
    result["adapterUp"] = false;
  }
  return result;
}

Value Tunnel::TrafficStats() {
  TrafficSampler::Rates rates;
  if (state_.Snapshot().state == kStateConnected) {
    rates = environment_.sample_traffic();
  } else {
    environment_.reset_traffic();
  }
  Value result = Value::object();
  result["downBps"] = static_cast<std::int64_t>(rates.down);
  result["upBps"] = static_cast<std::int64_t>(rates.up);
  return result;
}

TunnelEnvironment SystemTunnelEnvironment(std::shared_ptr<const KillSwitchClient> client) {
  TunnelEnvironment environment;
  environment.locate_openvpn = LocateOpenVpn;
  environment.ensure_tap = EnsureTapAdapter;
  environment.launch = [client](const std::filesystem::path& program, const std::string& args) {
    return LaunchOpenVpn(program, args, SystemLaunchActions(*client));
  };
  environment.transact = [client](std::string_view command) { return client->Transact(command); };
  environment.resolve = ResolveIPv4;
  environment.find_openvpn_process = FindOpenVpnProcess;
  environment.open_process = [](std::uint32_t pid) { return ProcessHandle::Open(pid); };
  environment.sample_traffic = [] { return ProcessTrafficSampler().Sample(); };
  environment.reset_traffic = [] { ProcessTrafficSampler().Reset(); };
  // Asked right after a sample, which has just looked for the adapter.
  environment.adapter_up = [] { return ProcessTrafficSampler().AdapterSeen(); };
  environment.program = PathToUtf8(ExecutablePath());
  return environment;
}

}  // namespace vlvpn
