#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "auth/loopback.h"
#include "common/file_io.h"
#include "common/spawn_posix.h"

extern char** environ;

namespace vlvpn {
namespace {

// How long xdg-open may take to say it failed. Longer, and it is running the browser in
// the foreground (its generic mode): taken as opened, and left to run.
constexpr int kOpenerVerdictMs = 500;

}  // namespace

bool OpenInSystemBrowser(const std::string& url) {
  if (!IsWebAddress(url)) return false;
  const char* path = std::getenv("PATH");
  const std::optional<std::filesystem::path> opener = FindInSearchPath(path != nullptr ? path : "", "xdg-open");
  if (!opener) return false;
  std::vector<std::string> argv = {opener->string(), url};
  const std::vector<char*> pointers = ExecPointers(argv);
  // A go-between waits a moment for xdg-open's verdict and exits, so that an opener
  // still running is nobody's child of ours: no zombie, no thread left to reap it.
  const pid_t between = ::fork();
  if (between < 0) return false;
  if (between == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    const pid_t opener_pid = ::fork();
    if (opener_pid == 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::setsid();
      ::execve(pointers[0], pointers.data(), environ);
      ::_exit(127);
    }
    if (opener_pid < 0) ::_exit(1);
    for (int waited = 0; waited < kOpenerVerdictMs; waited += 10) {
      int status = 0;
      if (::waitpid(opener_pid, &status, WNOHANG) == opener_pid) {
        ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
      }
      const timespec pause{0, 10'000'000};
      ::nanosleep(&pause, nullptr);
    }
    ::_exit(0);
  }
  int status = 0;
  while (::waitpid(between, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace vlvpn
