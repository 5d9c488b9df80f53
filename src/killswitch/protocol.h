#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vlvpn {

// The server facts the kill switch lets through.
struct KillSwitchFacts {
  std::string protocol;
  std::int32_t port = 0;
  std::string addresses;  // dotted IPv4 joined by ","
};

// The kill-switch service's one-line commands, in one place for the client, the fake
// service and a service of our own.
namespace kill_switch_protocol {

inline constexpr std::string_view kPing = "PING";
inline constexpr std::string_view kPong = "PONG";
inline constexpr std::string_view kStartOpenVpn = "OPENVPN_START";
inline constexpr std::string_view kStopOpenVpn = "OPENVPN_STOP";
inline constexpr std::string_view kStatus = "OPENVPN_STATUS";
inline constexpr std::string_view kRunning = "RUNNING";
inline constexpr std::string_view kStopped = "STOPPED";
inline constexpr std::string_view kEnable = "ENABLE";
inline constexpr std::string_view kDisable = "DISABLE";
inline constexpr std::string_view kBlockIpv6 = "BLOCK_IPV6";
inline constexpr std::string_view kUnblockIpv6 = "UNBLOCK_IPV6";

// "OPENVPN_START<TAB>program<TAB>arguments".
std::string StartOpenVpnCommand(const std::filesystem::path& program, std::string_view arguments);
// "ENABLE <protocol|any> <port> <flag> <addresses|none> <program>". Sent also with no
// address to let through: a kill switch that is on is in force, whatever is known.
std::string EnableCommand(const KillSwitchFacts& facts, int flag, std::string_view program);

// What the service said of the OpenVPN it runs.
struct OpenVpnStatus {
  bool running = false;
  bool stopped = false;
  std::string detail;  // the text after the first space ("RUNNING <pid>"), when there is one
};
OpenVpnStatus ParseStatusReply(std::string_view reply);

// "OK <pid>" and "RUNNING <pid>" numbers: a 32-bit decimal, else nullopt.
std::optional<std::uint32_t> ParseProcessId(std::string_view text);

}  // namespace kill_switch_protocol

// Whether the firewall must open for the client to find its server while the kill switch
// is on. The Windows service (not ours) needs "DISABLE" before the client resolves; the
// Linux service lets the OpenVPN it runs through a closed kill switch, so there the
// client never opens it.
#ifdef _WIN32
inline constexpr bool kOpenFirewallToResolve = true;
#else
inline constexpr bool kOpenFirewallToResolve = false;
#endif

// The service's commands as calls. Replies to the switching commands are ignored, as
// is an unreachable service; only the calls that return something read them.
class KillSwitchService {
 public:
  using Transact = std::function<std::string(std::string_view command)>;

  KillSwitchService(Transact transact, std::string program) : transact_(std::move(transact)), program_(std::move(program)) {}

  bool Ping() const;
  // The raw reply: empty for silence, "OK <pid>" for a start, anything else an error.
  std::string StartOpenVpn(const std::filesystem::path& program, std::string_view arguments) const;
  void StopOpenVpn() const;
  kill_switch_protocol::OpenVpnStatus Status() const;
  // ENABLE with the facts and the flag.
  void Enable(const KillSwitchFacts& facts, int flag) const;
  void Disable() const;
  void BlockIpv6(bool block) const;

 private:
  std::string Send(std::string_view command) const { return transact_ ? transact_(command) : std::string(); }

  Transact transact_;
  std::string program_;  // this executable's full path, last field of ENABLE
};

}  // namespace vlvpn
