// vlvpn-dns-helper: run by the OpenVPN that vlvpn-killswitchd started (its --up), as
// OpenVPN's account. Tells the service which resolvers the tunnel was
// given; the service, not this program, changes the system. Output goes to OpenVPN's log.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/unique_fd.h"
#include "service/dns.h"

namespace {

constexpr int kReplyTimeoutMs = 15000;

int Fail(const std::string& text) {
  std::fprintf(stderr, "Velunor DNS: %s\n", text.c_str());
  return 1;
}

}  // namespace

int main() {
  const auto report = vlvpn::service::DnsReportFromEnvironment([](const std::string& name) { return std::getenv(name.c_str()); });
  if (!report) return Fail("not run by OpenVPN as its --up");
  const char* path = std::getenv("VLVPN_DNS_SOCKET");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path == nullptr || std::strlen(path) >= sizeof address.sun_path) return Fail("no service socket given");
  std::strcpy(address.sun_path, path);
  vlvpn::UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket.valid() || ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return Fail(std::string("cannot reach the kill-switch service: ") + std::strerror(errno));
  }
  const std::string line = vlvpn::service::FormatDnsReport(*report) + "\n";
  if (::send(socket.get(), line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
    return Fail("cannot tell the kill-switch service");
  }
  std::string reply;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
  while (reply.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd ready{socket.get(), POLLIN, 0};
    if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
    char chunk[512];
    const ssize_t n = ::recv(socket.get(), chunk, sizeof chunk, 0);
    if (n <= 0) break;
    reply.append(chunk, static_cast<std::size_t>(n));
  }
  reply = reply.substr(0, reply.find('\n'));
  if (reply != "OK") return Fail(reply.empty() ? "no answer from the kill-switch service" : reply);
  if (!report->dns.servers.empty()) {
    std::fprintf(stderr, "Velunor DNS: %s uses the tunnel's DNS servers\n", report->dns.device.c_str());
  }
  return 0;
}
