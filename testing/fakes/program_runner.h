#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vlvpn::fakes {

// The one program the fake service runs for OPENVPN_START, as the real service would.
class ProgramRunner {
 public:
  ProgramRunner();
  ProgramRunner(const ProgramRunner&) = delete;
  ProgramRunner& operator=(const ProgramRunner&) = delete;
  ~ProgramRunner();

  // Starts `program` with `args`, detached from our standard streams; 0 on failure.
  std::uint32_t Start(const std::string& program, const std::vector<std::string>& args);
  // Ends the program (if it still runs) and forgets it.
  void Stop();
  // The running program's id, or 0 when none runs.
  std::uint32_t RunningPid();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vlvpn::fakes
