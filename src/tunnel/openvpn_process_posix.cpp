#include <filesystem>
#include <string>
#include <system_error>

#include "common/file_io.h"
#include "common/text.h"
#include "tunnel/openvpn_process.h"

namespace fs = std::filesystem;

namespace vlvpn {
namespace {

// Calls `visit` with each process id under /proc until it returns true.
template <typename Visit>
std::uint32_t FirstProcess(Visit visit) {
  std::error_code ec;
  for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    const auto pid = ParseDecimal(it->path().filename().string(), 0x7FFFFFFF);
    if (pid && visit(it->path())) return static_cast<std::uint32_t>(*pid);
  }
  return 0;
}

}  // namespace

std::uint32_t FindOpenVpnProcess(std::uint16_t management_port) {
  const auto inode = ListeningInode(ReadFileBytes("/proc/net/tcp").value_or(""), management_port);
  if (inode) {
    const std::string target = "socket:[" + std::to_string(*inode) + "]";
    const std::uint32_t owner = FirstProcess([&target](const fs::path& process) {
      std::error_code ec;
      for (fs::directory_iterator fd(process / "fd", ec), end; !ec && fd != end; fd.increment(ec)) {
        std::error_code link_error;
        if (fs::read_symlink(fd->path(), link_error).string() == target) return true;
      }
      return false;
    });
    if (owner != 0) return owner;
  }
  return FirstProcess([](const fs::path& process) {
    std::string name = ReadFileBytes(process / "comm").value_or("");
    while (!name.empty() && name.back() == '\n') name.pop_back();
    return name == "openvpn";
  });
}

}  // namespace vlvpn
