#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vlvpn {

struct ChildProcessOptions {
  bool tied = false;
  bool quiet = false;
};

// A program we start with its standard input and output on pipes of ours; its standard
// error is ours, or the null device when `quiet`. It is killed and reaped when this object
// goes, and with `tied` also when this process ends, however it ends.
class ChildProcess {
 public:
  using Environment = std::vector<std::pair<std::string, std::string>>;
  using Options = ChildProcessOptions;

  // `environment` is added to this process's own, replacing variables of the same name.
  // Throws std::runtime_error, with the reason, when the program cannot be started.
  ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
               const Environment& environment = {}, Options options = {});
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  bool Write(std::string_view bytes);
  // The next line without its "\n"; nullopt on end of output or at the time-out.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Its input ends.
  void CloseInput();
  // Our ends of its input and output as C runtime descriptors the caller then owns (-1
  // when already taken or closed), for streams of the caller's own.
  int TakeInput();
  int TakeOutput();
  std::uint32_t pid() const;
  // Asks it to end (SIGTERM; on Windows it is ended at once).
  void Terminate();
  // The exit code (128 + the signal when killed); nullopt when still running after `timeout`.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  struct Impl;
  // Appends what the program wrote to buffer_; false on end of output or at the deadline.
  bool ReadMore(std::chrono::steady_clock::time_point deadline);

  std::unique_ptr<Impl> impl_;
  std::string buffer_;
};

}  // namespace vlvpn
