#pragma once

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "common/arguments.h"
#include "common/file_io.h"
#include "common/text.h"
#include "killswitch/pipe_client.h"
#include "killswitch/service_control.h"
#include "support/child_process.h"
#ifdef _WIN32
#include "support/installed_service.h"
#endif
#include "support/temp_folder.h"

namespace vlvpn::testing {

// What fake-openvpn needs to run: its script (the configuration), its log and the
// management port, quoted as the launch passes them.
// The port is the caller's own: 11940 belongs to the end-to-end tests that run beside.
inline std::string FakeOpenVpnArguments(const std::filesystem::path& config, const std::filesystem::path& log,
                                        std::uint16_t port) {
  return "--config " + QuoteArgument(PathToUtf8(config)) + " --log " + QuoteArgument(PathToUtf8(log)) +
         " --management 127.0.0.1 " + std::to_string(port);
}

// A fake kill-switch service on a pipe (or socket) of its own, answering from a script
// and recording every command it receives.
class FakeKillSwitch {
 public:
  // kSystemService installs and starts it under the Windows service control manager,
  // as the product finds the real one; elsewhere it is a child process either way.
  enum class Hosting { kChildProcess, kSystemService };

  explicit FakeKillSwitch(const std::string& script, Hosting hosting = Hosting::kChildProcess) {
    const std::string tag = std::to_string(std::random_device{}());
#ifdef _WIN32
    pipe_ = "\\\\.\\pipe\\VLVPNTest-" + tag;
#else
    pipe_ = PathToUtf8(temp_.path() / "ks.sock");
#endif
    WriteFileAtomically(temp_.path() / "script", script);
    const std::vector<std::string> args = {
        "--pipe", pipe_, "--record", PathToUtf8(Recorded()), "--script", PathToUtf8(temp_.path() / "script")};
#ifdef _WIN32
    if (hosting == Hosting::kSystemService) {
      service_name_ = "VLVPNKillSwitchTest" + tag;
      std::string command = QuoteArgument(PathToUtf8(SiblingProgram("fake-killswitch"))) + " --service";
      for (const std::string& arg : args) command += " " + QuoteArgument(arg);
      installed_ = std::make_unique<InstalledService>(service_name_, command);
      if (!installed_->installed() || !installed_->Start()) {
        throw std::runtime_error("the fake kill-switch service could not be installed and started (error " +
                                 std::to_string(installed_->error()) + ")");
      }
      WaitUntilListening();
      return;
    }
#else
    (void)hosting;
#endif
    process_ =
        std::make_unique<ChildProcess>(SiblingProgram("fake-killswitch"), args, ChildProcess::Environment{});
    WaitUntilListening();
  }

  // Runs under the system's service manager, registered under its service name.
  bool system_service() const {
#ifdef _WIN32
    return installed_ != nullptr;
#else
    return false;
#endif
  }

  std::filesystem::path Recorded() const { return temp_.path() / "recorded"; }
  std::string RecordedText() const { return ReadFileBytes(Recorded()).value_or(""); }
  const std::filesystem::path& folder() const { return temp_.path(); }

  // A service the system manages is registered as far as the client can tell; a child
  // process is not.
  KillSwitchClient Client(PipeTimings timings = FastTimings()) const {
    const KillSwitchEndpoint endpoint{pipe_, service_name_};
    if (system_service()) {
      return KillSwitchClient(
          endpoint, [endpoint] { return IsServiceRegistered(endpoint); }, timings);
    }
    return KillSwitchClient(endpoint, [] { return false; }, timings);
  }

  static PipeTimings FastTimings() {
    using std::chrono::milliseconds;
    return {milliseconds(500), milliseconds(50), milliseconds(10), milliseconds(1000), milliseconds(1000)};
  }

 private:
  void WaitUntilListening() {
    const KillSwitchClient probe(
        {pipe_, ""}, [] { return true; }, FastTimings());
    // The probe is part of the record; start each test from an empty one.
    for (int i = 0; i < 100 && probe.Transact("PROBE").empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::filesystem::remove(Recorded());
  }

  TempFolder temp_;
  std::string pipe_;
  std::string service_name_ = "VLVPNKillSwitchTest";
  std::unique_ptr<ChildProcess> process_;
#ifdef _WIN32
  std::unique_ptr<InstalledService> installed_;
#endif
};

}  // namespace vlvpn::testing
