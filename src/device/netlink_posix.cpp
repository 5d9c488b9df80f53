#include "device/netlink_posix.h"

#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cstring>

#include "common/unique_fd.h"

namespace vlvpn {
namespace {

constexpr std::uint32_t kSequence = 1;

// Netlink's 4-byte alignment, written out: its macros cast in ways our warnings refuse.
constexpr std::size_t Align(std::size_t length) { return (length + 3) & ~std::size_t{3}; }

// An RTM_NEWLINK message's payload (after its header) → state; nullopt when it
// carries no name.
std::optional<LinkState> ParseLink(const char* payload, std::size_t size) {
  if (size < sizeof(ifinfomsg)) return std::nullopt;
  ifinfomsg info;
  std::memcpy(&info, payload, sizeof info);
  LinkState link;
  // The kernel reports IFF_RUNNING when the operational state is up or unknown.
  link.running = (info.ifi_flags & IFF_UP) != 0 && (info.ifi_flags & IFF_RUNNING) != 0;
  for (std::size_t offset = Align(sizeof info); offset + sizeof(rtattr) <= size;) {
    rtattr attribute;
    std::memcpy(&attribute, payload + offset, sizeof attribute);
    if (attribute.rta_len < sizeof(rtattr) || offset + attribute.rta_len > size) break;
    const char* data = payload + offset + Align(sizeof(rtattr));
    const std::size_t length = attribute.rta_len - Align(sizeof(rtattr));
    if (attribute.rta_type == IFLA_IFNAME) {
      link.name.assign(data, strnlen(data, length));
    } else if (attribute.rta_type == IFLA_STATS64 && length >= sizeof(rtnl_link_stats64)) {
      rtnl_link_stats64 stats;
      std::memcpy(&stats, data, sizeof stats);
      link.counters = {stats.rx_bytes, stats.tx_bytes};
    }
    offset += Align(attribute.rta_len);
  }
  if (link.name.empty()) return std::nullopt;
  return link;
}

// Sends one RTM_GETLINK request (a dump, or one interface by name) and collects the
// links of the reply.
std::vector<LinkState> Query(const std::string* name) {
  if (name != nullptr && (name->empty() || name->size() >= IFNAMSIZ)) return {};
  const UniqueFd socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (!socket.valid()) return {};
  struct {
    nlmsghdr header;
    ifinfomsg info;
    rtattr name_attribute;
    char name[IFNAMSIZ];
  } request{};
  static_assert(sizeof(nlmsghdr) % 4 == 0 && sizeof(ifinfomsg) % 4 == 0 && sizeof(rtattr) % 4 == 0);
  request.header.nlmsg_len = sizeof(nlmsghdr) + sizeof(ifinfomsg);
  request.header.nlmsg_type = RTM_GETLINK;
  request.header.nlmsg_flags = NLM_F_REQUEST | (name == nullptr ? NLM_F_DUMP : 0);
  request.header.nlmsg_seq = kSequence;
  request.info.ifi_family = AF_UNSPEC;
  if (name != nullptr) {
    request.name_attribute.rta_type = IFLA_IFNAME;
    request.name_attribute.rta_len = static_cast<unsigned short>(sizeof(rtattr) + name->size() + 1);
    std::memcpy(request.name, name->c_str(), name->size() + 1);
    request.header.nlmsg_len += static_cast<std::uint32_t>(Align(request.name_attribute.rta_len));
  }
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(socket.get(), &request, request.header.nlmsg_len, 0,
               reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) < 0) {
    return {};
  }
  std::vector<LinkState> links;
  std::vector<char> buffer(32768);
  for (;;) {
    const ssize_t received = ::recv(socket.get(), buffer.data(), buffer.size(), 0);
    if (received <= 0) return links;
    const auto size = static_cast<std::size_t>(received);
    for (std::size_t offset = 0; offset + sizeof(nlmsghdr) <= size;) {
      nlmsghdr header;
      std::memcpy(&header, buffer.data() + offset, sizeof header);
      if (header.nlmsg_len < sizeof(nlmsghdr) || offset + header.nlmsg_len > size) break;
      if (header.nlmsg_seq == kSequence) {
        if (header.nlmsg_type == NLMSG_DONE || header.nlmsg_type == NLMSG_ERROR) return links;
        if (header.nlmsg_type == RTM_NEWLINK) {
          if (auto link =
                  ParseLink(buffer.data() + offset + sizeof header, header.nlmsg_len - sizeof header)) {
            links.push_back(std::move(*link));
          }
          if (name != nullptr) return links;  // a single answer, no NLMSG_DONE after it
        }
      }
      offset += Align(header.nlmsg_len);
    }
  }
}

}  // namespace

std::vector<LinkState> ReadLinks() { return Query(nullptr); }

std::optional<LinkState> ReadLink(const std::string& name) {
  std::vector<LinkState> links = Query(&name);
  if (links.empty()) return std::nullopt;
  return std::move(links.front());
}

}  // namespace vlvpn
