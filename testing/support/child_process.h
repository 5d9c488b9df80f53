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

namespace vlvpn::testing {

// A program built beside the running test program ("VLVPNDesk" gives VLVPNDesk.exe on Windows).
std::filesystem::path SiblingProgram(std::string_view name);

// A program run with pipes on its standard input and output, for tests that drive
// our executables as their real callers do. Killed and reaped when the object goes.
class ChildProcess {
 public:
  using Environment = std::vector<std::pair<std::string, std::string>>;

  // `environment` is added to this process's own, replacing variables of the same name.
  ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
               const Environment& environment);
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  bool Write(std::string_view bytes);
  // The next line without its "\n"; nullopt on end of output or time-out.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  void CloseInput();
  std::uint32_t pid() const;
  // The exit code; nullopt when the program is still running after `timeout`.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  struct Impl;
  // Appends what the program wrote to buffer_; false on end of output or at the deadline.
  bool ReadMore(std::chrono::steady_clock::time_point deadline);

  std::unique_ptr<Impl> impl_;
  std::string buffer_;
};

}  // namespace vlvpn::testing
