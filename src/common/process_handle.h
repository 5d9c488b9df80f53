#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

namespace vlvpn {

// A handle on a running process (ours or another's) that allows waiting for it and
// telling whether it has ended. Owned once; share it through a shared_ptr.
class ProcessHandle {
 public:
  ProcessHandle(const ProcessHandle&) = delete;
  ProcessHandle& operator=(const ProcessHandle&) = delete;
  ~ProcessHandle();

  // Opens the process with the given id; null when it does not exist or may not be opened.
  static std::shared_ptr<ProcessHandle> Open(std::uint32_t pid);
  // Takes ownership of a platform handle (a HANDLE on Windows, a pidfd elsewhere).
  static std::shared_ptr<ProcessHandle> Adopt(std::intptr_t native, std::uint32_t pid);

  std::uint32_t pid() const { return pid_; }
  // The platform handle, to wait on beside others; signalled (readable) once it ended.
  std::intptr_t native() const { return native_; }
  bool HasExited() const;
  // True when the process ended within the time-out.
  bool WaitForExit(std::chrono::milliseconds timeout) const;

 private:
  ProcessHandle(std::intptr_t native, std::uint32_t pid) : native_(native), pid_(pid) {}

  std::intptr_t native_;
  std::uint32_t pid_;
};

}  // namespace vlvpn
