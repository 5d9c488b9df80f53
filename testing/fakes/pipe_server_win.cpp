#include <windows.h>

#include <stdexcept>

#include "common/text.h"
#include "fakes/pipe_server.h"

namespace vlvpn::fakes {
namespace {

class NamedPipeConnection : public PipeConnection {
 public:
  explicit NamedPipeConnection(HANDLE pipe) : pipe_(pipe) {}
  ~NamedPipeConnection() override {
    FlushFileBuffers(pipe_);
    DisconnectNamedPipe(pipe_);
  }

  std::optional<std::string> ReadLine() override {
    std::string line;
    char c;
    DWORD read = 0;
    while (line.size() < 65536) {
      if (!ReadFile(pipe_, &c, 1, &read, nullptr) || read != 1) return std::nullopt;
      if (c == '\n') return line;
      line += c;
    }
    return line;
  }
  void Write(const std::string& reply) override {
    DWORD written = 0;
    WriteFile(pipe_, reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr);
  }
  void WaitForClientToLeave() override {
    char c;
    DWORD read = 0;
    while (ReadFile(pipe_, &c, 1, &read, nullptr) && read > 0) {
    }
  }

 private:
  HANDLE pipe_;
};

}  // namespace

void ServePipe(const std::string& pipe, const std::function<void(PipeConnection&)>& handle,
               const std::function<bool()>& keep_going) {
  const std::wstring name = Utf8ToWide(pipe);
  const auto create = [&] {
    HANDLE instance = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                       PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
    if (instance == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create pipe " + pipe);
    return instance;
  };
  // The next instance exists before a client is served, so the pipe never vanishes
  // between two clients (a client would take that for a missing service).
  HANDLE next = create();
  while (keep_going()) {
    HANDLE current = next;
    const bool connected = ConnectNamedPipe(current, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
    next = create();
    if (connected) {
      NamedPipeConnection connection(current);
      handle(connection);
    }
    CloseHandle(current);
  }
  CloseHandle(next);
}

}  // namespace vlvpn::fakes
