#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "storage/data_locations.h"
#include "tunnel/tunnel_state.h"

namespace vlvpn {

struct ServerEndpoint {
  std::string host;
  std::int32_t port = 0;
  std::string protocol;
};

// The last "remote host port" and "proto word" lines of an OpenVPN configuration.
ServerEndpoint ExtractEndpoint(std::string_view config);

// The server facts the kill switch lets through.
struct KillSwitchFacts {
  std::string protocol;
  std::int32_t port = 0;
  std::string addresses;  // dotted IPv4 joined by ","
};

std::string KillSwitchFileText(const KillSwitchFacts& facts);
KillSwitchFacts ParseKillSwitchFile(std::string_view text);
std::string ParseActiveFile(std::string_view text);
// A port line: leading blanks and a sign allowed, trailing text ignored; 0 when it is no number.
std::int32_t ParsePortLine(std::string_view line);

// "ENABLE <protocol|any> <port> <flag> <addresses|none> <program>"; empty when there
// is nothing to let through and the flag is 1.
std::string EnableCommand(const KillSwitchFacts& facts, int flag, const std::string& program);

// The kill switch and the IPv6 block as the interface sets them, and the commands and
// files of each turn of the tunnel's life. Commands go through `transact` (replies
// ignored); the server facts live in the tunnel record, under its lock.
class KillSwitchControl {
 public:
  struct Actions {
    std::function<std::string(std::string_view)> transact;
    std::function<std::vector<std::string>(const std::string& host)> resolve;
    std::function<void(std::chrono::milliseconds)> sleep;
    std::string program;  // this executable's full path, last field of ENABLE
  };

  KillSwitchControl(TunnelState& state, const DataLocations& locations, Actions actions);
  KillSwitchControl(const KillSwitchControl&) = delete;
  KillSwitchControl& operator=(const KillSwitchControl&) = delete;
  ~KillSwitchControl();

  std::atomic<bool> enabled{false};
  std::atomic<bool> block_ipv6{true};

  // Connect, once the configuration is known: DISABLE, the endpoint, then resolution
  // and ENABLE with the switch on, or a background resolution with it off.
  void PrepareForConnect(const std::filesystem::path& config);
  // Connect, while the command line is built.
  void ApplyIpv6ForConnect();
  void WriteActive(const std::string& profile_id);
  void OnConnected();
  void OnDrop();
  // A user's disconnect: files removed, IPv6 unblocked, kill switch loosened or off.
  void OnUserDisconnect();
  // Adoption: the files back into the record; the IPv6 block when the tunnel runs.
  void OnAdoption(const std::string& state_word);
  // The facts and profile id the files hold (for adoption, under the record's lock).
  KillSwitchFacts ReadFacts() const;
  std::string ReadActive() const;

  // The three methods' worker bodies. Each takes a ticket for its switch on the
  // calling thread; a worker whose ticket is no longer the newest sends nothing, so the
  // user's last word on a switch wins whatever order the workers run in.
  std::uint64_t TakeKillSwitchTicket() { return ++kill_switch_ticket_; }
  std::uint64_t TakeIpv6Ticket() { return ++ipv6_ticket_; }
  void SetEnabledWorker(bool on, std::uint64_t ticket);
  void SetBlockIpv6Worker(bool on, std::uint64_t ticket);
  void PrepareForReconnectWorker(std::uint64_t ticket);

  void EnableStep(int flag);

 private:
  void Send(std::string_view command) const { actions_.transact(command); }
  void StoreResolved(const std::vector<std::string>& addresses, std::uint64_t epoch);

  TunnelState& state_;
  const DataLocations& locations_;
  Actions actions_;
  std::atomic<std::uint64_t> kill_switch_ticket_{0};
  std::atomic<std::uint64_t> ipv6_ticket_{0};
  std::mutex background_lock_;
  std::thread background_;  // the latest background resolution
  std::mutex order_lock_;   // serialises the method workers' sends, in ticket order
  std::mutex files_lock_;   // killswitch.txt / active.txt writers against the disconnect's removal
  std::atomic<std::uint64_t> facts_epoch_{0};
};

}  // namespace vlvpn
