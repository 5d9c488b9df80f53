// The session's single instance against another local user who takes our name.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "app/single_instance.h"

namespace vlvpn {
namespace {

using namespace std::chrono_literals;

// A squatter of another uid binds our abstract name, fills its queue and never accepts:
// the app still starts, at once, as the first copy (without the guarantee).
TEST(SingleInstance, ASquatterOfAnotherUserCannotHoldItUp) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to play another user";
  int ready[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
  const std::string name = "VLVPNDesk-SingleInstance-" + std::to_string(::getuid());
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  const pid_t squatter = ::fork();
  if (squatter == 0) {
    const gid_t none[] = {4242};
    if (::syscall(SYS_setgroups, 1, none) != 0 || ::syscall(SYS_setresgid, 4242, 4242, 4242) != 0 ||
        ::syscall(SYS_setresuid, 4242, 4242, 4242) != 0) {
      ::_exit(2);
    }
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), length) != 0 || ::listen(listener, 0) != 0) {
      ::_exit(3);
    }
    for (int i = 0; i < 4; ++i) {
      const int filler = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
      (void)::connect(filler, reinterpret_cast<const sockaddr*>(&address), length);
    }
    (void)!::write(ready[1], "x", 1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "the squatter did not take the name";
  ::close(ready[0]);

  const auto started = std::chrono::steady_clock::now();
  const pid_t claimer = ::fork();
  if (claimer == 0) {
    ::alarm(10);  // a claim that hangs ends here
    ::_exit(SingleInstance::Claim({}) != nullptr ? 0 : 1);
  }
  int status = 0;
  ::waitpid(claimer, &status, 0);
  ::kill(squatter, SIGKILL);
  ::waitpid(squatter, nullptr, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "runs as the first copy";
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s) << "the claim waits on a holder that never accepts";
}

}  // namespace
}  // namespace vlvpn
