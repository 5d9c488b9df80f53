#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "killswitch/protocol.h"
#include "storage/data_locations.h"

namespace vlvpn {

struct ServerEndpoint {
  std::string host;
  std::int32_t port = 0;
  std::string protocol;
};

// The last "remote host port" and "proto word" lines of an OpenVPN configuration.
ServerEndpoint ExtractEndpoint(std::string_view config);

std::string KillSwitchFileText(const KillSwitchFacts& facts);
KillSwitchFacts ParseKillSwitchFile(std::string_view text);
std::string ParseActiveFile(std::string_view text);
// A port line: leading blanks and a sign allowed, trailing text ignored; 0 when it is no number.
std::int32_t ParsePortLine(std::string_view line);

// killswitch.txt and active.txt: what lets a later run adopt the tunnel. Writes are
// best effort (only adoption needs the files).
class KillSwitchFiles {
 public:
  explicit KillSwitchFiles(DataLocations locations) : locations_(std::move(locations)) {}

  void WriteFacts(const KillSwitchFacts& facts) const;
  void WriteActive(const std::string& profile_id) const;
  KillSwitchFacts ReadFacts() const;
  std::string ReadActive() const;
  void Remove() const;

 private:
  DataLocations locations_;
};

}  // namespace vlvpn
