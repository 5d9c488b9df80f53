#pragma once

#include <functional>
#include <optional>
#include <string>

namespace vlvpn::fakes {

// One client connection of the fake service: the command line it sent and a way to answer.
class PipeConnection {
 public:
  virtual ~PipeConnection() = default;
  // The first line the client sent, without its line feed; nullopt when it sent none.
  virtual std::optional<std::string> ReadLine() = 0;
  virtual void Write(const std::string& reply) = 0;
  // Waits until the client goes away (at most a few seconds).
  virtual void WaitForClientToLeave() = 0;
};

// Serves `pipe` (a named pipe on Windows, a unix socket path elsewhere), one client at
// a time, until `keep_going` returns false.
void ServePipe(const std::string& pipe, const std::function<void(PipeConnection&)>& handle,
               const std::function<bool()>& keep_going);

}  // namespace vlvpn::fakes
