#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "service/dns.h"

namespace vlvpn::service {

// What ENABLE asks for: block everything but the tunnel and this server, or (flag 0)
// remember the server and let traffic flow.
struct EnableRequest {
  bool udp = true;
  bool tcp = true;
  std::uint16_t port = 0;  // 0: any port of those addresses
  bool block = true;
  std::vector<std::string> addresses;  // dotted IPv4, each checked
  bool operator==(const EnableRequest&) const = default;
};

struct StartRequest {
  std::string program;
  std::string arguments;
};

// kDns comes only from the service's helper, on a socket of its own.
enum class Command { kPing, kStart, kStatus, kStop, kEnable, kDisable, kBlockIpv6, kUnblockIpv6, kDns };

struct Request {
  Command command = Command::kPing;
  StartRequest start;
  EnableRequest enable;
  DnsReport dns;
};

struct ParsedRequest {
  bool ok = false;
  Request request;
  std::string error;  // the reply for a line that is no command of ours
};

// One command line, without its line end. An unknown protocol word in ENABLE counts as
// "any" and a malformed address is left out, so a kill switch is never refused for
// facts it can do without; only a flag or port that is no number refuses it.
ParsedRequest ParseRequest(std::string_view line);

// A dotted IPv4 address in the form the rules may carry ("a.b.c.d", each 0-255).
bool IsDottedIpv4(std::string_view text);

}  // namespace vlvpn::service
