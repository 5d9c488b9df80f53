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
  while (keep_going()) {
    HANDLE instance =
        CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                         4096, 4096, 0, nullptr);
    if (instance == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create pipe " + pipe);
    if (ConnectNamedPipe(instance, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
      NamedPipeConnection connection(instance);
      handle(connection);
    }
    CloseHandle(instance);
  }
}

}  // namespace vlvpn::fakes
