#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include "common/file_io.h"
#include "common/unique_fd.h"
#include "device/latency.h"

namespace vlvpn {
namespace {

using namespace std::chrono_literals;

// Runs `body` on a thread of its own in a fresh network namespace with its loopback up and
// the given ping_group_range, which decides whether unprivileged ICMP sockets are allowed,
// so the machine's own setting is left alone; false when the namespace cannot be made.
bool InOwnNetworkNamespace(const std::string& ping_group_range, const std::function<void()>& body) {
  bool made = false;
  std::thread([&] {
    if (::unshare(CLONE_NEWNET) != 0) return;
    const UniqueFd control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    request.ifr_flags = IFF_UP;
    if (!control.valid() || ::ioctl(control.get(), SIOCSIFFLAGS, &request) != 0) return;
    const char* const setting = "/proc/sys/net/ipv4/ping_group_range";
    std::ofstream(setting) << ping_group_range << "\n";
    if (ReadFileBytes(setting) != ping_group_range + "\n") return;
    made = true;
    body();
  }).join();
  return made;
}

TEST(IcmpEcho, AnsweredWhereAllowedAndLeftToTcpWhereNot) {
  struct Case {
    const char* range;
    bool icmp_allowed;
  };
  for (const Case& c : {Case{"0\t2147483647", true}, Case{"1\t0", false}}) {
    SCOPED_TRACE(c.range);
    std::optional<int> echo;
    int measured = -1;
    const bool ran = InOwnNetworkNamespace(c.range, [&] {
      echo = IcmpEchoMilliseconds("127.0.0.1", 900ms);
      // Nothing listens in the new namespace: the refused TCP connect is the answer.
      measured = MeasureLatency("127.0.0.1", 1194);
    });
    if (!ran) GTEST_SKIP() << "needs a network namespace of its own (root)";
    if (c.icmp_allowed) {
      ASSERT_TRUE(echo.has_value()) << "loopback answers an echo";
      EXPECT_GE(*echo, 0);
      EXPECT_LT(*echo, 900);
    } else {
      EXPECT_EQ(echo, std::nullopt) << "no ICMP socket: the probe says so instead of inventing a time";
    }
    EXPECT_GE(measured, 1);
  }
}

}  // namespace
}  // namespace vlvpn
