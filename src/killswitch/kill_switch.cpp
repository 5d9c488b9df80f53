#include "killswitch/kill_switch.h"

#include <cstdlib>
#include <sstream>
#include <system_error>

#include "common/file_io.h"
#include "common/text.h"

namespace vlvpn {
namespace {

using namespace std::chrono_literals;

std::string_view TrimEnd(std::string_view s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.remove_suffix(1);
  return s;
}

std::string Join(const std::vector<std::string>& parts) {
  std::string joined;
  for (const std::string& part : parts) joined += (joined.empty() ? "" : ",") + part;
  return joined;
}

bool Running(const std::string& state) { return state == kStateConnected || state == kStateConnecting; }

}  // namespace

ServerEndpoint ExtractEndpoint(std::string_view config) {
  ServerEndpoint endpoint;
  std::istringstream lines{std::string(config)};
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string first, second, third;
    words >> first >> second >> third;
    if (first == "remote") {
      endpoint.host = second;
      endpoint.port = ParsePortLine(third);
    } else if (first == "proto") {
      endpoint.protocol = second;
    }
  }
  return endpoint;
}

std::int32_t ParsePortLine(std::string_view line) {
  std::size_t i = 0;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  bool negative = false;
  if (i < line.size() && (line[i] == '+' || line[i] == '-')) negative = line[i++] == '-';
  std::size_t end = i;
  while (end < line.size() && line[end] >= '0' && line[end] <= '9') ++end;
  const auto value = ParseDecimal(line.substr(i, end - i), 2147483647);
  if (!value) return 0;
  return negative ? -static_cast<std::int32_t>(*value) : static_cast<std::int32_t>(*value);
}

std::string KillSwitchFileText(const KillSwitchFacts& facts) {
  return facts.protocol + "\n" + std::to_string(facts.port) + "\n" + facts.addresses;
}

KillSwitchFacts ParseKillSwitchFile(std::string_view text) {
  std::string lines[3];
  for (std::string& line : lines) {
    const std::size_t nl = text.find('\n');
    line = std::string(TrimEnd(text.substr(0, nl)));
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
  }
  return {lines[0], ParsePortLine(lines[1]), lines[2]};
}

std::string ParseActiveFile(std::string_view text) { return std::string(TrimEnd(text)); }

std::string EnableCommand(const KillSwitchFacts& facts, int flag, const std::string& program) {
  if (facts.addresses.empty() && flag == 1) return {};
  return "ENABLE " + (facts.protocol.empty() ? std::string("any") : facts.protocol) + " " +
         std::to_string(facts.port) + " " + std::to_string(flag) + " " +
         (facts.addresses.empty() ? std::string("none") : facts.addresses) + " " + program;
}

KillSwitchControl::KillSwitchControl(TunnelState& state, const DataLocations& locations, Actions actions)
    : state_(state), locations_(locations), actions_(std::move(actions)) {}

KillSwitchControl::~KillSwitchControl() {
  std::lock_guard background(background_lock_);
  if (background_.joinable()) background_.join();
}

void KillSwitchControl::EnableStep(int flag) {
  const KillSwitchFacts facts = state_.Update([](TunnelRecord& r) {
    return KillSwitchFacts{r.server_protocol, r.server_port, r.server_addresses};
  });
  const std::string command = EnableCommand(facts, flag, actions_.program);
  if (!command.empty()) Send(command);
}

void KillSwitchControl::StoreResolved(const std::vector<std::string>& addresses, std::uint64_t epoch) {
  if (addresses.empty()) return;
  std::lock_guard files(files_lock_);
  // A resolution that an newer connect or a disconnect overtook stores nothing.
  if (facts_epoch_.load() != epoch) return;
  const KillSwitchFacts facts = state_.Update([&addresses](TunnelRecord& r) {
    r.server_addresses = Join(addresses);
    return KillSwitchFacts{r.server_protocol, r.server_port, r.server_addresses};
  });
  try {
    WriteFileAtomically(locations_.KillSwitchFile(), KillSwitchFileText(facts));
  } catch (const std::exception&) {
    // The file only helps a later run adopt the tunnel.
  }
}

void KillSwitchControl::PrepareForConnect(const std::filesystem::path& config) {
  Send("DISABLE");
  const ServerEndpoint endpoint = ExtractEndpoint(ReadFileBytes(config).value_or(std::string()));
  const std::uint64_t epoch = ++facts_epoch_;
  state_.Update([&endpoint](TunnelRecord& r) {
    r.server_protocol = endpoint.protocol;
    r.server_port = endpoint.port;
  });
  if (enabled) {
    std::vector<std::string> addresses;
    for (int attempt = 0; attempt < 5 && !endpoint.host.empty(); ++attempt) {
      if (attempt > 0) actions_.sleep(800ms);
      addresses = actions_.resolve(endpoint.host);
      if (!addresses.empty()) break;
    }
    StoreResolved(addresses, epoch);
    EnableStep(1);
    return;
  }
  if (endpoint.host.empty()) return;
  std::lock_guard background(background_lock_);
  if (background_.joinable()) background_.join();  // an older one, long finished or now stale
  background_ =
      std::thread([this, host = endpoint.host, epoch] { StoreResolved(actions_.resolve(host), epoch); });
}

void KillSwitchControl::ApplyIpv6ForConnect() { Send(block_ipv6 ? "BLOCK_IPV6" : "UNBLOCK_IPV6"); }

void KillSwitchControl::WriteActive(const std::string& profile_id) {
  std::lock_guard files(files_lock_);
  try {
    WriteFileAtomically(locations_.ActiveFile(), profile_id);
  } catch (const std::exception&) {
    // As above: only adoption needs it.
  }
}

void KillSwitchControl::OnConnected() {
  if (block_ipv6) Send("BLOCK_IPV6");
}

void KillSwitchControl::OnDrop() {
  Send("UNBLOCK_IPV6");
  if (enabled && state_.tunnel_wanted) EnableStep(1);
}

void KillSwitchControl::OnUserDisconnect() {
  {
    std::lock_guard files(files_lock_);
    ++facts_epoch_;
    std::error_code ignored;
    std::filesystem::remove(locations_.ActiveFile(), ignored);
    std::filesystem::remove(locations_.KillSwitchFile(), ignored);
  }
  Send("UNBLOCK_IPV6");
  if (enabled) {
    EnableStep(0);
  } else {
    Send("DISABLE");
  }
}

KillSwitchFacts KillSwitchControl::ReadFacts() const {
  return ParseKillSwitchFile(ReadFileBytes(locations_.KillSwitchFile()).value_or(std::string()));
}

std::string KillSwitchControl::ReadActive() const {
  return ParseActiveFile(ReadFileBytes(locations_.ActiveFile()).value_or(std::string()));
}

void KillSwitchControl::OnAdoption(const std::string& state_word) {
  if (block_ipv6 && Running(state_word)) Send("BLOCK_IPV6");
}

void KillSwitchControl::SetEnabledWorker(bool on, std::uint64_t ticket) {
  std::lock_guard order(order_lock_);
  if (ticket != kill_switch_ticket_.load()) return;
  const std::string state = state_.Snapshot().state;
  if (on) {
    if (state == kStateConnected) EnableStep(1);
    return;
  }
  Send("DISABLE");
  if (block_ipv6 && Running(state)) Send("BLOCK_IPV6");
}

void KillSwitchControl::SetBlockIpv6Worker(bool on, std::uint64_t ticket) {
  std::lock_guard order(order_lock_);
  if (ticket != ipv6_ticket_.load()) return;
  if (Running(state_.Snapshot().state)) {
    Send(on ? "BLOCK_IPV6" : "UNBLOCK_IPV6");
  } else if (!on) {
    Send("UNBLOCK_IPV6");
  }
}

void KillSwitchControl::PrepareForReconnectWorker(std::uint64_t ticket) {
  std::lock_guard order(order_lock_);
  if (ticket != kill_switch_ticket_.load()) return;
  Send("DISABLE");
}

}  // namespace vlvpn
