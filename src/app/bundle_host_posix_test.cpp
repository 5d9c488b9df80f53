// The interface's process ends with the host, however it takes the request.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "app/bundle_host.h"
#include "common/file_io.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

// An interface that ignores SIGTERM: the host waits five seconds for it, as on
// Windows, then kills it; it never waits without end.
TEST(InterfaceChild, OneThatIgnoresTheEndIsKilled) {
  testing::TempFolder folder;
  const std::filesystem::path node = folder.path() / "node";
  WriteFileAtomically(node, "#!/bin/sh\ntrap '' TERM\nexec sleep 40\n");
  std::filesystem::permissions(node, std::filesystem::perms::owner_all);
  std::string error;
  auto child = InterfaceChild::Start(node, folder.path() / "bundle", error);
  ASSERT_NE(child, nullptr) << error;
  const pid_t pid = static_cast<pid_t>(child->pid());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // its trap is set
  const auto asked = std::chrono::steady_clock::now();
  child.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(20)) << "was: until it ended itself";
  EXPECT_NE(::kill(pid, 0), 0) << "gone, and reaped";
}

}  // namespace
}  // namespace vlvpn
