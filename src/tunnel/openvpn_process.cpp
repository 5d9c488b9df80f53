#include "tunnel/openvpn_process.h"

#include <sstream>
#include <string>

#include "common/text.h"

namespace vlvpn {

std::uint32_t ChooseOpenVpnToAdopt(const PortListener& listener,
                                   const std::function<std::uint32_t()>& first_named_openvpn) {
  if (listener.owner != 0) return listener.owner_is_openvpn ? listener.owner : 0;
  if (!listener.listening) return 0;
  return first_named_openvpn();
}

std::optional<std::uint64_t> ListeningInode(std::string_view proc_net_tcp, std::uint16_t port) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string port_hex = ":";
  for (int shift = 12; shift >= 0; shift -= 4) port_hex += kHex[(port >> shift) & 0xF];
  std::istringstream lines{std::string(proc_net_tcp)};
  std::string line;
  std::getline(lines, line);  // header
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    const bool ours = local == "0100007F" + port_hex || local == "00000000" + port_hex;
    if (!ours || state != "0A") continue;  // 0A: listening
    if (const auto value = ParseDecimal(inode, UINT64_MAX)) return *value;
  }
  return std::nullopt;
}

}  // namespace vlvpn
