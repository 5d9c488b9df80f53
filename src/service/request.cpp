#include "service/request.h"

#include <arpa/inet.h>

#include <charconv>

#include "killswitch/protocol.h"

namespace vlvpn::service {
namespace {

namespace protocol = kill_switch_protocol;

// The next space-separated field; empty when none is left.
std::string_view NextField(std::string_view& rest) {
  const std::size_t space = rest.find(' ');
  const std::string_view field = rest.substr(0, space);
  rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
  return field;
}

bool ParsePort(std::string_view text, std::uint16_t& port) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

ParsedRequest Fail(std::string error) { return {false, {}, std::move(error)}; }

ParsedRequest ParseEnable(std::string_view rest) {
  Request request;
  request.command = Command::kEnable;
  EnableRequest& enable = request.enable;
  const std::string_view protocol_word = NextField(rest);
  if (protocol_word.starts_with("udp")) enable.tcp = false;
  if (protocol_word.starts_with("tcp")) enable.udp = false;
  if (!ParsePort(NextField(rest), enable.port)) return Fail("ENABLE: the port is not a number from 0 to 65535");
  const std::string_view flag = NextField(rest);
  if (flag != "0" && flag != "1") return Fail("ENABLE: the flag must be 1 or 0");
  enable.block = flag == "1";
  std::string_view addresses = NextField(rest);
  if (addresses != "none") {
    while (!addresses.empty()) {
      const std::size_t comma = addresses.find(',');
      const std::string_view address = addresses.substr(0, comma);
      if (IsDottedIpv4(address)) enable.addresses.emplace_back(address);
      addresses = comma == std::string_view::npos ? std::string_view() : addresses.substr(comma + 1);
    }
  }
  // The rest is the client's program path, which nothing here needs.
  return {true, request, {}};
}

}  // namespace

bool IsDottedIpv4(std::string_view text) {
  if (text.size() > 15 || text.find_first_not_of("0123456789.") != std::string_view::npos) return false;
  in_addr parsed{};
  return ::inet_pton(AF_INET, std::string(text).c_str(), &parsed) == 1;
}

ParsedRequest ParseRequest(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
  Request request;
  const auto simple = [&](Command command) {
    request.command = command;
    return ParsedRequest{true, request, {}};
  };
  if (line == protocol::kPing) return simple(Command::kPing);
  if (line == protocol::kStatus) return simple(Command::kStatus);
  if (line == protocol::kStopOpenVpn) return simple(Command::kStop);
  if (line == protocol::kDisable) return simple(Command::kDisable);
  if (line == protocol::kBlockIpv6) return simple(Command::kBlockIpv6);
  if (line == protocol::kUnblockIpv6) return simple(Command::kUnblockIpv6);
  const std::string enable_prefix = std::string(protocol::kEnable) + " ";
  if (line.starts_with(enable_prefix)) return ParseEnable(line.substr(enable_prefix.size()));
  const std::string start_prefix = std::string(protocol::kStartOpenVpn) + "\t";
  if (line.starts_with(start_prefix)) {
    std::string_view rest = line.substr(start_prefix.size());
    const std::size_t tab = rest.find('\t');
    if (tab == std::string_view::npos || tab == 0) return Fail("OPENVPN_START: expected a program and arguments");
    request.command = Command::kStart;
    request.start = {std::string(rest.substr(0, tab)), std::string(rest.substr(tab + 1))};
    return {true, request, {}};
  }
  return Fail("Unknown command");
}

}  // namespace vlvpn::service
