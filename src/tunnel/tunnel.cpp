#include "tunnel/tunnel.h"

#include <algorithm>
#include <future>
#include <stdexcept>
#include <system_error>

#include "common/file_io.h"
#include "common/process_path.h"
#include "common/resolve.h"
#include "common/text.h"
#include "device/tap_adapter.h"
#include "storage/names.h"
#include "storage/profile_store.h"
#include "tunnel/diagnosis.h"
#include "tunnel/openvpn_lookup.h"
#include "tunnel/openvpn_process.h"
#include "tunnel/profile_files.h"

namespace vlvpn {
namespace {

using namespace std::chrono_literals;
using Outcome = ConnectResult::Outcome;

ConnectResult Failed(std::string message) { return {Outcome::kFailed, std::move(message)}; }
const ConnectResult kSuperseded{Outcome::kSuperseded, {}};

// Several hosts may share addresses: each is let through once.
void AppendNew(std::vector<std::string>& addresses, std::vector<std::string> more) {
  for (std::string& address : more) {
    if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
      addresses.push_back(std::move(address));
    }
  }
}

std::optional<TunnelEvent> ReportOf(std::string_view word) {
  if (word == kStateConnected) return TunnelEvent::kReportedConnected;
  if (word == kStateConnecting) return TunnelEvent::kReportedConnecting;
  if (word == kStateDisconnected) return TunnelEvent::kReportedDisconnected;
  return std::nullopt;
}

std::string Join(const std::vector<std::string>& parts) {
  std::string joined;
  for (const std::string& part : parts) joined += (joined.empty() ? "" : ",") + part;
  return joined;
}

}  // namespace

Tunnel::Tunnel(const DataLocations& locations, TunnelEnvironment environment)
    : locations_(locations),
      environment_(std::move(environment)),
      service_(environment_.transact, environment_.program),
      files_(locations_),
      wake_(TcpSocket::ConnectedPair()),
      snapshot_(std::make_shared<TunnelSnapshot>()) {
  if (!wake_.first.valid()) throw std::runtime_error("The tunnel could not open a loopback connection.");
  thread_ = std::thread([this] { Loop(); });
}

Tunnel::~Tunnel() {
  {
    std::lock_guard guard(queue_lock_);
    stopping_ = true;
    for (const auto& attempt : open_attempts_) attempt->Cancel();
    WakeLocked();
  }
  thread_.join();
}

void Tunnel::Post(std::function<void()> job, bool supersedes, std::shared_ptr<CancelToken> attempt) {
  {
    std::lock_guard guard(queue_lock_);
    if (supersedes) {
      for (const auto& earlier : open_attempts_) earlier->Cancel();
      open_attempts_.clear();
    }
    if (attempt) open_attempts_.push_back(std::move(attempt));
    queue_.push_back(std::move(job));
    WakeLocked();
  }
}

// Written only while the controller waits, and once per wait: a byte or two at most is
// ever unread, so the write never blocks.
void Tunnel::WakeLocked() {
  if (!waiting_ || wake_sent_) return;
  wake_sent_ = true;
  wake_.first.SendAll("w");
}

void Tunnel::Loop() {
  for (;;) {
    std::function<void()> job;
    {
      std::lock_guard guard(queue_lock_);
      if (!queue_.empty()) {
        job = std::move(queue_.front());
        queue_.pop_front();
      } else if (stopping_) {
        break;
      } else {
        waiting_ = true;
      }
    }
    if (job) {
      try {
        job();
      } catch (const std::exception&) {
        // A job settles its own caller; one that could not is rejected when its promise goes.
      }
      continue;
    }
    // Nothing queued: wait for a post or for what the followed connection says.
    const TcpSocket* followed = record_.management ? &record_.management->socket() : nullptr;
    const unsigned ready = TcpSocket::WaitReadable(wake_.second, followed, std::chrono::seconds(1));
    {
      std::lock_guard guard(queue_lock_);
      waiting_ = false;
      wake_sent_ = false;
      // A byte that arrives after this wait wakes the next one once, and is read then.
      std::string bytes;
      if ((ready & 1U) != 0) wake_.second.Receive(bytes, std::chrono::milliseconds::zero());
    }
    if ((ready & 2U) != 0) ReadFollowed();
  }
  // OpenVPN keeps running; only our following of it ends.
  StopFollowing();
}

void Tunnel::Connect(ConnectRequest request, std::function<void(ConnectResult)> done) {
  auto token = std::make_shared<CancelToken>();
  ++connects_pending_;
  Post(
      [this, request = std::move(request), done = std::move(done), token] {
        ConnectResult result;
        try {
          result = RunConnect(request, token);
        } catch (const std::exception& e) {
          result = Failed(e.what());
        }
        --connects_pending_;
        done(std::move(result));
      },
      true, token);
}

void Tunnel::Disconnect(std::function<void()> done) {
  Post(
      [this, done = std::move(done)] {
        RunDisconnect();
        done();
      },
      true);
}

void Tunnel::SetKillSwitchEnabled(bool on, std::function<void()> done) {
  kill_switch_requested_ = on;
  Post(
      [this, on, done = std::move(done)] {
        kill_switch_ = on;
        RememberSwitches();
        kill_switch_at_connected_ = on && Running() && record_.phase != Phase::kConnected;
        if (on) {
          if (record_.phase == Phase::kConnected) service_.Enable(record_.server, 1);
        } else {
          service_.Disable();
          // The user's IPv6 block holds only beside a tunnel; without one, nothing may
          // keep IPv6 blocked once the kill switch is off.
          service_.BlockIpv6(block_ipv6_ && Running());
        }
        done();
      },
      false);
}

void Tunnel::PrepareKillSwitchForReconnect(std::function<void(bool)> done) {
  if (!kill_switch_requested_) return done(false);
  Post(
      [this, done = std::move(done)] {
        // The switch stays on: the next connect applies it again. Where the service lets
        // its OpenVPN through, the firewall never needs to open.
        if (environment_.open_firewall_to_resolve) {
          service_.Disable();
          kill_switch_at_connected_ = false;
        }
        done(true);
      },
      false);
}

void Tunnel::SetBlockIpv6Enabled(bool on, std::function<void()> done) {
  Post(
      [this, on, done = std::move(done)] {
        block_ipv6_ = on;
        RememberSwitches();
        if (Running() || !on) service_.BlockIpv6(on);
        done();
      },
      false);
}

ConnectResult Tunnel::RunConnect(const ConnectRequest& request, const std::shared_ptr<CancelToken>& token) {
  if (token->cancelled()) return kSuperseded;
  const std::filesystem::path openvpn = environment_.locate_openvpn();
  if (openvpn.empty()) return Failed(std::string(kOpenVpnNotFound));
  if (!environment_.ensure_tap(openvpn)) return Failed(std::string(kNoTapAdapter));
  if (auto problem = PlainNameProblem(request.profile_id, "profile id")) return Failed(*problem);
  // Found before anything is stopped or written: a connect without a configuration
  // must not tear down the tunnel that runs.
  const std::filesystem::path folder = locations_.ProfileFolder(request.profile_id);
  const std::optional<std::filesystem::path> config = FindConfigFile(folder, request.config_name);
  if (!config) return Failed(ConfigNotFoundMessage(request.profile_id));
  // Credentials that cannot be written are refused before the running tunnel is
  // touched; an older file must never stand in for what the user just typed.
  std::optional<std::filesystem::path> credentials;
  try {
    credentials = PrepareCredentials(folder, request.username, request.password);
  } catch (const FileWriteError& e) {
    return Failed(e.what());
  }
  // The running OpenVPN is stopped with its own password, read before a new one replaces it.
  const std::string old_password = KnownManagementPassword();
  ManagementSecret secret;
  try {
    secret = PrepareManagementPassword(folder);
  } catch (const FileWriteError& e) {
    return Failed(e.what());
  }
  if (token->cancelled()) return kSuperseded;

  record_.message.clear();  // what ended the tunnel before is not this attempt's
  const bool ended_a_tunnel = StopForNewConnect(*token, old_password);
  record_.management_password = secret.password;
  const std::filesystem::path log = RotateLog(folder);
  const std::string profile = ReadFileBytes(*config).value_or(std::string());
  if (std::optional<std::string> refused = PrepareKillSwitch(profile, token)) {
    if (token->cancelled()) return kSuperseded;
    Enter(TunnelEvent::kStartFailed);
    record_.message = *refused;
    Publish();
    return Failed(std::move(*refused));
  }
  const std::string args =
      BuildOpenVpnArguments(*config, credentials, log, environment_.windows_driver, environment_.management_port,
                            secret.file, ProfileSetsPing(profile));
  service_.BlockIpv6(block_ipv6_);
  if (token->cancelled()) return kSuperseded;

  const LaunchOutcome launched = environment_.launch(openvpn, args, [token] { return token->cancelled(); });
  if (launched.cancelled) return kSuperseded;
  if (!launched.ok) {
    AfterFailedConnect();
    std::string text = launched.error.empty() ? std::string(kLaunchFailed) : launched.error;
    // The tunnel this connect replaced is gone: say why nothing took its place.
    if (ended_a_tunnel) {
      record_.message = text;
      Publish();
    }
    return Failed(std::move(text));
  }
  Enter(TunnelEvent::kLaunched);
  record_.process = launched.process;
  record_.via_service = launched.via_service;
  record_.profile_id = request.profile_id;
  record_.log_path = log;
  record_.log_read = 0;
  record_.wanted = true;
  Publish();
  files_.WriteActive(request.profile_id);
  return FollowLaunched(*token);
}

// Stops what the record follows (or an OpenVPN nobody follows on the port); true when
// the record showed a tunnel on its way or up.
bool Tunnel::StopForNewConnect(const CancelToken& token, const std::string& password) {
  const bool was_running = Running();
  if (record_.management) {
    record_.management->Send(kSignalTerm);
  } else if (auto other = OpenManagement(password)) {
    other->Send(kSignalTerm);
    other.reset();
    WaitForPortToClose(30, token);
  }
  StopFollowing();
  if (record_.process) {
    // One that takes its time to end (explicit-exit-notify) still holds the management
    // port, which the next OpenVPN needs.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!record_.process->WaitForExit(50ms) && !token.cancelled() && std::chrono::steady_clock::now() < deadline) {
    }
    record_.process.reset();
  }
  Enter(TunnelEvent::kStopped);
  Publish();
  return was_running;
}

// The user set a switch: this run's word, and the next run's when it adopts the tunnel.
void Tunnel::RememberSwitches() {
  switches_set_ = true;
  files_.WriteSwitches({kill_switch_, block_ipv6_});
}

// The password of the OpenVPN followed, else of the one the last run started.
std::string Tunnel::KnownManagementPassword() const {
  if (!record_.management_password.empty()) return record_.management_password;
  const std::string active = files_.ReadActive();
  if (active.empty() || PlainNameProblem(active, "profile id")) return {};
  return ReadManagementPassword(locations_.ProfileFolder(active));
}

// The management connection, where something listens on the port.
std::shared_ptr<ManagementConnection> Tunnel::OpenManagement(const std::string& password) const {
  if (environment_.port_listened && !environment_.port_listened(environment_.management_port)) return nullptr;
  return ManagementConnection::Open(environment_.management_port, password);
}

// Probes the management port every 50 ms until nothing answers there any more.
void Tunnel::WaitForPortToClose(int probes, const CancelToken& token) const {
  for (int i = 0; i < probes && token.SleepFor(50ms); ++i) {
    if (!OpenManagement({})) break;
  }
}

std::optional<std::string> Tunnel::PrepareKillSwitch(std::string_view profile,
                                                     const std::shared_ptr<CancelToken>& token) {
  // Where the service lets its OpenVPN through, a kill switch that is on stays closed:
  // our own lookups may fail behind it (one quick try), OpenVPN's do not.
  const bool stays_closed = kill_switch_ && !environment_.open_firewall_to_resolve;
  if (!stays_closed) service_.Disable();
  const ServerEndpoint endpoint = ExtractEndpoint(profile);
  const std::uint64_t epoch = ++facts_epoch_;
  const KillSwitchFacts before = record_.server;
  record_.server.protocol = endpoint.protocol;
  record_.server.port = endpoint.port;
  if (kill_switch_) {
    std::vector<std::string> addresses;
    for (int attempt = 0; attempt < (stays_closed ? 1 : 5) && !endpoint.hosts.empty(); ++attempt) {
      if (attempt > 0 && !token->SleepFor(environment_.resolve_retry)) break;
      for (const std::string& host : endpoint.hosts) {
        AppendNew(addresses, Resolve(host, token));
        if (token->cancelled()) break;
      }
      if (!addresses.empty()) break;
    }
    if (addresses.empty() && !stays_closed) {
      // Never "on" but not in force: closed again on what was known, and no connect.
      record_.server = before;
      service_.Enable(record_.server, 1);
      return std::string(kServerNotResolved);
    }
    StoreResolved(addresses);
    Publish();
    service_.Enable(record_.server, 1);
    return std::nullopt;
  }
  if (endpoint.hosts.empty()) return std::nullopt;
  try {
    helpers_.Start([this, resolve = environment_.resolve, hosts = endpoint.hosts, epoch] {
      std::vector<std::string> addresses;
      for (const std::string& host : hosts) AppendNew(addresses, resolve(host));
      Post(
          [this, epoch, addresses = std::move(addresses)] {
            // A newer connect or a disconnect came in between: the answer is stale.
            if (epoch != facts_epoch_) return;
            StoreResolved(addresses);
            Publish();
          },
          false);
    });
  } catch (const std::system_error&) {
    // Without a thread to resolve on, the addresses known from before stay.
  }
  return std::nullopt;
}

// IPv6 goes back to how it was without a tunnel, unless the kill switch holds: then
// everything stays closed.
void Tunnel::AfterFailedConnect() {
  if (!kill_switch_) service_.BlockIpv6(false);
}

// Resolution on a helper thread, so that a cancel does not wait for the resolver.
std::vector<std::string> Tunnel::Resolve(const std::string& host, const std::shared_ptr<CancelToken>& token) {
  struct Answer {
    std::atomic<bool> ready{false};
    std::vector<std::string> addresses;
  };
  auto answer = std::make_shared<Answer>();
  try {
    helpers_.Start([answer, token, resolve = environment_.resolve, host] {
      answer->addresses = resolve(host);
      answer->ready = true;
      token->Wake();
    });
  } catch (const std::system_error&) {
    return environment_.resolve(host);
  }
  if (!token->WaitUntil([&answer] { return answer->ready.load(); })) return {};
  return answer->addresses;
}

// An empty answer keeps the addresses known from before.
void Tunnel::StoreResolved(const std::vector<std::string>& addresses) {
  if (!addresses.empty()) record_.server.addresses = Join(addresses);
  files_.WriteFacts(record_.server);
}

ConnectResult Tunnel::FollowLaunched(const CancelToken& token) {
  std::shared_ptr<ManagementConnection> connection;
  bool exited = false;
  // The new password opens only the OpenVPN just launched, never one still exiting.
  const auto deadline = std::chrono::steady_clock::now() + environment_.management_wait;
  for (bool first = true; !connection && !exited && std::chrono::steady_clock::now() < deadline; first = false) {
    if (!first && !token.SleepFor(environment_.management_retry)) return GiveUp(nullptr);
    if (token.cancelled()) return GiveUp(nullptr);
    connection = OpenManagement(record_.management_password);
    if (record_.process) {
      exited = record_.process->HasExited();
    } else if (record_.via_service) {
      exited = service_.Status().stopped;
    }
  }
  if (exited) connection.reset();
  if (!connection) return FailStart(exited ? kExitedEarly : kNoManagement);
  if (token.cancelled()) return GiveUp(std::move(connection));
  Enter(TunnelEvent::kAnswered);
  Follow(std::move(connection));
  Publish();
  return {Outcome::kConnecting, {}};
}

ConnectResult Tunnel::FailStart(std::string_view fallback) {
  if (record_.via_service) service_.StopOpenVpn();
  AfterFailedConnect();
  record_.via_service = false;
  std::string text = DiagnoseLog(record_.log_path);
  if (text.empty()) text = std::string(fallback);
  Enter(TunnelEvent::kStartFailed);
  record_.message = text;
  Publish();
  return Failed(std::move(text));
}

// A newer command took over while this attempt's OpenVPN was starting: stop it here,
// so that none is left running that nothing follows, whatever the newer command does.
ConnectResult Tunnel::GiveUp(std::shared_ptr<ManagementConnection> connection) {
  const std::shared_ptr<ProcessHandle> process = record_.process;
  if (!connection && !record_.via_service && process) {
    // Started by us without the service: only its management port can tell it to stop.
    const auto deadline = std::chrono::steady_clock::now() + environment_.management_wait;
    while (!connection && !process->HasExited() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(environment_.management_retry);
      connection = OpenManagement(record_.management_password);
    }
  }
  if (connection) connection->Send(kSignalTerm);
  if (record_.via_service) service_.StopOpenVpn();
  record_.via_service = false;
  if (process) process->WaitForExit(2000ms);
  record_.process.reset();
  Enter(TunnelEvent::kStopped);
  Publish();
  return kSuperseded;
}

void Tunnel::RunDisconnect() {
  record_.wanted = false;
  const bool via_service = record_.via_service;
  if (record_.management) record_.management->Send(kSignalTerm);
  if (record_.process) {
    record_.process->WaitForExit(3000ms);
  } else {
    WaitForPortToClose(20, CancelToken());
  }
  if (via_service) service_.StopOpenVpn();
  record_.via_service = false;
  StopFollowing();
  record_.process.reset();
  record_.message.clear();
  record_.profile_id.clear();
  record_.management_password.clear();
  record_.log_path.clear();
  Enter(TunnelEvent::kUserDisconnected);
  ++facts_epoch_;
  files_.Remove();
  Publish();
  service_.BlockIpv6(false);
  if (kill_switch_) {
    service_.Enable(record_.server, 0);
  } else {
    service_.Disable();
  }
}

void Tunnel::RunAdoption() {
  if (connects_pending_ > 0 || record_.management || Running()) return;
  // Only OpenVPN is adopted: another program on the port must never pass for a tunnel.
  const std::uint32_t pid = environment_.find_openvpn_process(environment_.management_port);
  if (pid == 0) return;
  const std::string password = KnownManagementPassword();
  const auto deadline = std::chrono::steady_clock::now() + environment_.adoption_budget;
  const auto left = [&deadline] {
    return std::max(1ms, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
  };
  auto connection = ManagementConnection::Open(environment_.management_port, password, left());
  if (!connection || !GreetedByOpenVpn(*connection, left())) return;
  record_.management_password = password;
  // What it says later comes as it follows the tunnel.
  const std::string word = QueryState(*connection, left());
  record_.process = environment_.open_process(pid);
  record_.profile_id = files_.ReadActive();
  record_.server = files_.ReadFacts();
  // The switches as the previous run left them, unless this run has set them already:
  // a later drop re-applies the kill switch the user had on.
  if (const std::optional<Switches> switches = files_.ReadSwitches(); switches && !switches_set_) {
    kill_switch_ = switches->kill_switch;
    block_ipv6_ = switches->block_ipv6;
    kill_switch_requested_ = kill_switch_;
  }
  Enter(TunnelEvent::kAdopted);
  if (const auto report = ReportOf(word)) Enter(*report);
  record_.via_service = service_.Status().running;
  record_.wanted = true;
  Follow(std::move(connection));
  Publish();
  if (block_ipv6_ && Running()) service_.BlockIpv6(true);
}

void Tunnel::Follow(std::shared_ptr<ManagementConnection> connection) {
  record_.management = std::move(connection);
  record_.following = true;
  record_.reader = StateReader();
  record_.management->Send("state on");
  // "state on" reports only later changes; ask once for where OpenVPN already is.
  record_.management->Send("state");
}

void Tunnel::StopFollowing() {
  if (!record_.management) return;
  record_.management.reset();
  record_.following = false;
  Publish();
}

void Tunnel::ReadFollowed() {
  std::string bytes;
  const auto received = record_.management->Receive(bytes, std::chrono::milliseconds::zero());
  if (received == TcpSocket::Received::kTimedOut) return;
  // A reset counts like a close: OpenVPN killed with our commands unread resets the
  // connection rather than closing it.
  if (received != TcpSocket::Received::kData) return OnConnectionEnded();
  const std::size_t restarts = record_.reader.restarts();
  for (const std::string& word : record_.reader.Feed(bytes)) OnReported(word);
  if (record_.reader.restarts() != restarts) OnRestarted();
}

// A try failed and OpenVPN tries again: the user reads why meanwhile, and a failure no
// retry can mend (an expired certificate, another CA) ends the attempt now rather than
// after minutes of retries.
void Tunnel::OnRestarted() {
  if (record_.log_path.empty() || !record_.management) return;
  LogDiagnosis diagnosis;
  record_.log_read = FeedLog(record_.log_path, record_.log_read, diagnosis);
  if (!diagnosis.ByRule()) return;
  record_.message = diagnosis.Result();
  if (diagnosis.Final()) {
    // It reports EXITING and closes: an end the user is told of, not a drop. The service
    // that started it answers once it has ended.
    record_.wanted = false;
    record_.management->Send(kSignalTerm);
    if (record_.via_service) service_.StopOpenVpn();
    record_.via_service = false;
    AfterFailedConnect();
  }
  Publish();
}

void Tunnel::OnReported(const std::string& word) {
  const auto report = ReportOf(word);
  if (!report) return;
  const Phase before = record_.phase;
  if (!Enter(*report)) return;
  if (record_.phase == Phase::kConnected) {
    record_.message.clear();
    // A later restart is explained by what comes after this, not by a first try's lines.
    std::error_code unknown;
    const auto size = record_.log_path.empty() ? 0 : std::filesystem::file_size(record_.log_path, unknown);
    if (!unknown) record_.log_read = size;
  }
  Publish();
  if (record_.phase == Phase::kConnected && before != Phase::kConnected) {
    if (block_ipv6_) service_.BlockIpv6(true);
    if (kill_switch_ && kill_switch_at_connected_) service_.Enable(record_.server, 1);
    kill_switch_at_connected_ = false;
  }
}

void Tunnel::OnConnectionEnded() {
  const Phase before = record_.phase;
  const bool drop = Enter(TunnelEvent::kConnectionClosed) && EndIsADrop(before);
  if (drop) {
    // A cause the log names, else the words for a drop: the log's last line would be
    // whatever OpenVPN last wrote (a management command), no cause.
    std::string message = record_.log_path.empty() ? std::string() : DiagnoseLog(record_.log_path, true);
    record_.message = message.empty() ? std::string(kConnectionClosed) : std::move(message);
  }
  Publish();
  // OpenVPN serves one management client: let go of this one at once.
  StopFollowing();
  if (!drop) return;
  service_.BlockIpv6(false);
  if (kill_switch_ && record_.wanted) service_.Enable(record_.server, 1);
}

bool Tunnel::Enter(TunnelEvent event) {
  const std::optional<Phase> next = Transition(record_.phase, event);
  if (next) record_.phase = *next;
  return next.has_value();
}

void Tunnel::Publish() {
  auto published = std::make_shared<const TunnelSnapshot>(static_cast<const TunnelSnapshot&>(record_));
  std::lock_guard guard(snapshot_lock_);
  snapshot_ = std::move(published);
}

std::shared_ptr<const TunnelSnapshot> Tunnel::Snapshot() const {
  std::lock_guard guard(snapshot_lock_);
  return snapshot_;
}

TunnelStatus Tunnel::Status() {
  if (!adoption_tried_.exchange(true) && connects_pending_ == 0) {
    // Shared with the job: set however it ends, and outliving this frame if it must.
    auto adopted = std::make_shared<std::promise<void>>();
    std::future<void> done = adopted->get_future();
    Post(
        [this, adopted] {
          struct Settle {
            std::shared_ptr<std::promise<void>> promise;
            ~Settle() { promise->set_value(); }
          } settle{adopted};
          RunAdoption();
        },
        false);
    done.wait_for(environment_.adoption_budget + 500ms);
  }
  const std::shared_ptr<const TunnelSnapshot> snapshot = Snapshot();
  TunnelStatus status;
  status.state = std::string(snapshot->state());
  status.message = snapshot->message;
  status.profile_id = snapshot->profile_id;
  if (snapshot->process) {
    if (!snapshot->process->HasExited()) {
      status.pid = snapshot->process->pid();
    } else {
      // Seen here before the connection's end is read: the same words as for a drop.
      const bool dropped = status.state == kStateConnected;
      status.state = std::string(kStateDisconnected);
      if (status.message.empty()) status.message = DiagnoseLog(snapshot->log_path, dropped);
      if (status.message.empty() && dropped) status.message = std::string(kConnectionClosed);
    }
  }
  if (status.state == kStateConnected) {
    const TrafficSampler::Rates rates = environment_.sample_traffic();
    status.down_bps = static_cast<std::int64_t>(rates.down);
    status.up_bps = static_cast<std::int64_t>(rates.up);
    status.adapter_up = environment_.adapter_up();
  } else {
    environment_.reset_traffic();
  }
  return status;
}

TrafficSampler::Rates Tunnel::TrafficStats() {
  if (Snapshot()->state() == kStateConnected) return environment_.sample_traffic();
  environment_.reset_traffic();
  return {};
}

TunnelEnvironment SystemTunnelEnvironment(std::shared_ptr<const KillSwitchClient> client) {
  TunnelEnvironment environment;
  environment.locate_openvpn = LocateOpenVpn;
  environment.ensure_tap = EnsureTapAdapter;
  environment.launch = [client](const std::filesystem::path& program, const std::string& args,
                                std::function<bool()> cancelled) {
    LaunchActions actions = SystemLaunchActions(*client);
    actions.cancelled = std::move(cancelled);
    return LaunchOpenVpn(program, args, actions);
  };
  environment.transact = [client](std::string_view command) { return client->Transact(command); };
  environment.resolve = ResolveIPv4;
  environment.find_openvpn_process = FindAdoptableOpenVpn;
  environment.port_listened = SomethingListensOn;
  environment.open_process = [](std::uint32_t pid) { return ProcessHandle::Open(pid); };
  environment.sample_traffic = [] { return ProcessTrafficSampler().Sample(); };
  environment.reset_traffic = [] { ProcessTrafficSampler().Reset(); };
  // Asked right after a sample, which has just looked for the adapter.
  environment.adapter_up = [] { return ProcessTrafficSampler().AdapterSeen(); };
  environment.program = PathToUtf8(ExecutablePath());
  return environment;
}

}  // namespace vlvpn
