#pragma once

#include <cstdint>
#include <filesystem>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>

#include "app/stdio_host.h"
#include "common/child_process.h"
#include "modules/velunor_modules.h"

namespace vlvpn {

// `<exeDir>/Bundle/index.windows`, the interface's JavaScript.
std::filesystem::path BundleFile(const std::filesystem::path& executable_folder);

// The JavaScript runtime: `node` shipped beside the executable, else the first on PATH.
std::optional<std::filesystem::path> FindNode(const std::filesystem::path& executable_folder);

// Passed after the bundle's path, so the interface knows the protocol is on its own
// standard input and output.
inline constexpr std::string_view kBundleHostFlag = "--vlvpn-host";

// `node <bundle> --vlvpn-host` with its standard input and output on pipes of ours. It ends when
// this object goes, and with this process however the process ends.
class InterfaceChild {
 public:
  // Null with `error` set when the child cannot be started.
  static std::unique_ptr<InterfaceChild> Start(const std::filesystem::path& node, const std::filesystem::path& bundle,
                                               std::string& error);
  InterfaceChild(const InterfaceChild&) = delete;
  InterfaceChild& operator=(const InterfaceChild&) = delete;
  ~InterfaceChild();

  std::istream& FromChild();
  std::ostream& ToChild();
  std::uint32_t pid() const;
  // Ends the child now; its output then ends.
  void Terminate();

 private:
  explicit InterfaceChild(std::unique_ptr<ChildProcess> process);

  struct Streams;
  std::unique_ptr<ChildProcess> process_;
  std::unique_ptr<Streams> streams_;
};

// Serves the interface bundle over its standard streams, exactly as `--stdio` serves a
// parent, on a thread of its own that this object joins.
class BundleHost {
 public:
  BundleHost(std::shared_ptr<ModuleServices> services, const std::filesystem::path& executable_folder);
  BundleHost(const BundleHost&) = delete;
  BundleHost& operator=(const BundleHost&) = delete;
  ~BundleHost();

  // Empty when the bundle runs; otherwise why it does not (also written to the log).
  const std::string& failure() const { return failure_; }
  std::uint32_t child_pid() const { return child_ ? child_->pid() : 0; }
  // Until the bundle has ended and every call it made has settled.
  void Wait();
  // The process is about to end: no half line reaches the interface.
  void CloseOutput();

 private:
  std::unique_ptr<InterfaceChild> child_;
  std::shared_ptr<LineWriter> writer_;
  std::string failure_;
  std::thread serving_;
};

// Replaces the host's log in the data folder ("VLVPNDesk.log") with `text`; best effort.
void WriteHostLog(const DataLocations& locations, const std::string& text);

}  // namespace vlvpn
