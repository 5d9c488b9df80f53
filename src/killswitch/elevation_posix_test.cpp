#include "killswitch/elevation_posix.h"

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/file_io.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

class ElevationTest : public ::testing::Test {
 protected:
  // A stand-in for pkexec, named like it so the start is recognised the same way.
  std::string Elevator(const std::string& body) {
    const auto path = temp_.path() / "pkexec";
    WriteFileAtomically(path, "#!/bin/sh\n" + body + "\n");
    ::chmod(path.c_str(), 0755);
    return path.string();
  }
  std::string Args() const {
    return "--config \"" + (temp_.path() / "c.ovpn").string() + "\" --log \"" +
           (temp_.path() / "openvpn.log").string() + "\"";
  }

  testing::TempFolder temp_;
};

// Through an elevator that approves (and replaces itself with the program, as pkexec
// does) or directly: the program runs on its arguments.
TEST_F(ElevationTest, ApprovedPromptOrNoElevatorRunsTheProgram) {
  WriteFileAtomically(temp_.path() / "c.ovpn", "#fake log started\n");
  const auto log = [this] { return ReadFileBytes(temp_.path() / "openvpn.log").value_or(""); };
  for (const std::string& elevator : {Elevator("exec \"$@\""), std::string()}) {
    std::filesystem::remove(temp_.path() / "openvpn.log");
    const ElevatedStart started = StartElevatedVia(elevator, testing::SiblingProgram("fake-openvpn"), Args());
    ASSERT_TRUE(started.started) << elevator;
    ASSERT_NE(started.process, nullptr);
    EXPECT_FALSE(started.process->HasExited());
    // The log is made first and written a moment later.
    for (int i = 0; i < 250 && log().find("started") == std::string::npos; ++i)
      std::this_thread::sleep_for(20ms);
    EXPECT_THAT(log(), HasSubstr("started")) << elevator;
    ::kill(static_cast<pid_t>(started.process->pid()), SIGTERM);
    EXPECT_TRUE(started.process->WaitForExit(5s));
  }

  // Without an elevator, what the program says before its --log takes effect is appended
  // to that log; a program that is not there does not start.
  const std::string said_log = (temp_.path() / "said.log").string();
  WriteFileAtomically(said_log, "before\n");
  const ElevatedStart said =
      StartElevatedVia("", "/bin/sh", "-c \"echo Options error: x; echo y >&2\" --log \"" + said_log + "\"");
  ASSERT_TRUE(said.started);
  EXPECT_TRUE(said.process->WaitForExit(5s));
  EXPECT_EQ(ReadFileBytes(said_log), "before\nOptions error: x\ny\n");
  const ElevatedStart missing = StartElevatedVia("", temp_.path() / "no-such-program", Args());
  EXPECT_FALSE(missing.started);
  EXPECT_NE(missing.error, 0u);
}

TEST_F(ElevationTest, DeclinedOrFailedPrompt) {
  const std::pair<std::string, bool> cases[] = {{"exit 126", true}, {"exit 127", true}, {"exit 3", false}};
  for (const auto& [body, declined] : cases) {
    const ElevatedStart result =
        StartElevatedVia(Elevator(body), testing::SiblingProgram("fake-openvpn"), Args());
    EXPECT_FALSE(result.started) << body;
    EXPECT_EQ(result.declined, declined) << body;
    EXPECT_EQ(result.process, nullptr);
  }
}

TEST(KillSwitchServiceOnLinux, RegisteredMeansTheSocketExistsAndAnUnknownUnitDoesNotStart) {
  testing::TempFolder temp;
  const KillSwitchEndpoint endpoint{(temp.path() / "ks.sock").string(), "vlvpn-test-no-such-unit"};
  EXPECT_FALSE(IsServiceRegistered(endpoint));
  WriteFileAtomically(endpoint.pipe, "");
  EXPECT_TRUE(IsServiceRegistered(endpoint));
  EXPECT_EQ(StartKillSwitchService(endpoint), ServiceStart::kFailed);
}

}  // namespace
}  // namespace vlvpn
