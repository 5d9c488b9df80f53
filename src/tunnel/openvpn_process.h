#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace vlvpn {

// The OpenVPN to adopt on the management port: the listener's owner when that is
// OpenVPN; when the owner cannot be seen (an OpenVPN a service started under another
// account), the first process with OpenVPN's name. 0 when nothing listens, when the
// listener is another program, or when no OpenVPN runs at all.
std::uint32_t FindAdoptableOpenVpn(std::uint16_t management_port);

// Whether anything listens on the loopback port, from the system's table (true when the
// table cannot be read). Windows answers a connect to a closed loopback port only after
// about a second of retries: asked first, nothing is tried in vain.
bool SomethingListensOn(std::uint16_t port);

// What the system tells of the port's listener.
struct PortListener {
  bool listening = false;         // something listens (true also when that cannot be told)
  std::uint32_t owner = 0;        // its process; 0 when it cannot be seen
  bool owner_is_openvpn = false;  // the owner's program is OpenVPN
};
std::uint32_t ChooseOpenVpnToAdopt(const PortListener& listener,
                                   const std::function<std::uint32_t()>& first_named_openvpn);

// Linux: the socket inode listening on 127.0.0.1:port (or any address) in a
// /proc/net/tcp table.
std::optional<std::uint64_t> ListeningInode(std::string_view proc_net_tcp, std::uint16_t port);

}  // namespace vlvpn
