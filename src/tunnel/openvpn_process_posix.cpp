#include <filesystem>
#include <string>
#include <system_error>

#include "common/file_io.h"
#include "common/text.h"
#include "tunnel/openvpn_process.h"

namespace fs = std::filesystem;

namespace vlvpn {
namespace {

// Calls `visit` with each process folder under /proc until it returns true.
template <typename Visit>
std::uint32_t FirstProcess(Visit visit) {
  std::error_code ec;
  for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    const auto pid = ParseDecimal(it->path().filename().string(), 0x7FFFFFFF);
    if (pid && visit(it->path())) return static_cast<std::uint32_t>(*pid);
  }
  return 0;
}

bool NamedOpenVpn(const fs::path& process) {
  return TrimLineEnd(ReadFileBytes(process / "comm").value_or("")) == "openvpn";
}

}  // namespace

bool SomethingListensOn(std::uint16_t port) {
  const std::optional<std::string> table = ReadFileBytes("/proc/net/tcp");
  return !table || ListeningInode(*table, port).has_value();
}

std::uint32_t FindAdoptableOpenVpn(std::uint16_t management_port) {
  PortListener listener;
  const auto inode = ListeningInode(ReadFileBytes("/proc/net/tcp").value_or(""), management_port);
  listener.listening = inode.has_value();
  if (inode) {
    // Another user's descriptors cannot be read: the owner then stays unseen.
    const std::string target = "socket:[" + std::to_string(*inode) + "]";
    bool is_openvpn = false;
    listener.owner = FirstProcess([&](const fs::path& process) {
      std::error_code ec;
      for (fs::directory_iterator fd(process / "fd", ec), end; !ec && fd != end; fd.increment(ec)) {
        std::error_code link_error;
        if (fs::read_symlink(fd->path(), link_error).string() == target) {
          is_openvpn = NamedOpenVpn(process);
          return true;
        }
      }
      return false;
    });
    listener.owner_is_openvpn = is_openvpn;
  }
  return ChooseOpenVpnToAdopt(listener, [] { return FirstProcess(NamedOpenVpn); });
}

}  // namespace vlvpn
