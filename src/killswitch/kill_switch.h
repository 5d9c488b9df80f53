#pragma once

#include <cstdint>
#include <string>
#include <optional>
#include <string_view>
#include <vector>

#include "killswitch/protocol.h"
#include "storage/data_locations.h"

namespace vlvpn {

// The servers of a profile as the kill switch's facts can carry them: every host OpenVPN
// may try, and one protocol and port that allow each of its connections.
struct ServerEndpoint {
  std::vector<std::string> hosts;  // in the order OpenVPN tries them, each once
  std::int32_t port = 0;           // 0: they differ (any port of those hosts)
  std::string protocol;            // "udp" or "tcp"; empty when they differ
};

// Every "remote" line and <connection> block, with OpenVPN's defaults: a remote's own
// port and protocol, else its block's or the profile's "port"/"rport" and "proto", else
// 1194 and UDP.
ServerEndpoint ExtractEndpoint(std::string_view config);

std::string KillSwitchFileText(const KillSwitchFacts& facts);
KillSwitchFacts ParseKillSwitchFile(std::string_view text);
std::string ParseActiveFile(std::string_view text);
// A port line: leading blanks and a sign allowed, trailing text ignored; 0 when it is no number.
std::int32_t ParsePortLine(std::string_view line);

// The two switches as the user last set them.
struct Switches {
  bool kill_switch = false;
  bool block_ipv6 = true;
};
std::string SwitchesFileText(const Switches& switches);
// nullopt when the text is not such a file.
std::optional<Switches> ParseSwitchesFile(std::string_view text);

// killswitch.txt, active.txt and switches.txt: what lets a later run adopt the tunnel
// and keep it as the user had it. Writes are best effort (only adoption needs them).
class KillSwitchFiles {
 public:
  explicit KillSwitchFiles(DataLocations locations) : locations_(std::move(locations)) {}

  void WriteFacts(const KillSwitchFacts& facts) const;
  void WriteActive(const std::string& profile_id) const;
  KillSwitchFacts ReadFacts() const;
  std::string ReadActive() const;
  void WriteSwitches(const Switches& switches) const;
  std::optional<Switches> ReadSwitches() const;
  void Remove() const;

 private:
  DataLocations locations_;
};

}  // namespace vlvpn
