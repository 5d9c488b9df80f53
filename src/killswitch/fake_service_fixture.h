#pragma once

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "common/file_io.h"
#include "common/text.h"
#include "killswitch/pipe_client.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

namespace vlvpn::testing {

// A fake kill-switch service on a pipe (or socket) of its own, answering from a script
// and recording every command it receives.
class FakeKillSwitch {
 public:
  explicit FakeKillSwitch(const std::string& script) {
#ifdef _WIN32
    pipe_ = "\\\\.\\pipe\\VLVPNTest-" + std::to_string(std::random_device{}());
#else
    pipe_ = PathToUtf8(temp_.path() / "ks.sock");
#endif
    WriteFileAtomically(temp_.path() / "script", script);
    process_ = std::make_unique<ChildProcess>(
        SiblingProgram("fake-killswitch"),
        std::vector<std::string>{"--pipe", pipe_, "--record", PathToUtf8(Recorded()), "--script",
                                 PathToUtf8(temp_.path() / "script")},
        ChildProcess::Environment{});
    WaitUntilListening();
  }

  const std::string& pipe() const { return pipe_; }
  std::filesystem::path Recorded() const { return temp_.path() / "recorded"; }
  std::string RecordedText() const { return ReadFileBytes(Recorded()).value_or(""); }
  const std::filesystem::path& folder() const { return temp_.path(); }

  KillSwitchClient Client(PipeTimings timings = FastTimings(), bool registered = false) const {
    return KillSwitchClient(
        {pipe_, "VLVPNKillSwitchTest"}, [registered] { return registered; }, timings);
  }

  static PipeTimings FastTimings() {
    using std::chrono::milliseconds;
    return {milliseconds(500), milliseconds(50), milliseconds(10), milliseconds(1000), milliseconds(1000)};
  }

 private:
  void WaitUntilListening() {
    const KillSwitchClient probe(
        {pipe_, ""}, [] { return true; }, FastTimings());
    // The probe's own PING is part of the record; start each test from an empty one.
    for (int i = 0; i < 100 && probe.Transact("PROBE").empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::filesystem::remove(Recorded());
  }

  TempFolder temp_;
  std::string pipe_;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace vlvpn::testing
