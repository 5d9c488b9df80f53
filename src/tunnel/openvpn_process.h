#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vlvpn {

// The OpenVPN to adopt: the process that listens on the management port, so another
// OpenVPN on the machine is never taken for ours; else the first process with
// OpenVPN's name. 0 when there is none.
std::uint32_t FindOpenVpnProcess(std::uint16_t management_port);

// Linux: the socket inode listening on 127.0.0.1:port (or any address) in a
// /proc/net/tcp table.
std::optional<std::uint64_t> ListeningInode(std::string_view proc_net_tcp, std::uint16_t port);

}  // namespace vlvpn
