#include <windows.h>

#include <thread>

#include "common/text.h"
#include "common/unique_handle_win.h"
#include "killswitch/pipe_client.h"

namespace vlvpn {
namespace {

using Clock = std::chrono::steady_clock;

HANDLE OpenPipe(const std::wstring& name, const std::function<bool()>& registered,
                const PipeTimings& timings) {
  const auto deadline = Clock::now() + timings.open_deadline;
  for (;;) {
    HANDLE pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) return pipe;
    const DWORD error = GetLastError();
    if (error == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(name.c_str(), static_cast<DWORD>(timings.busy_wait.count()));
    } else if (error == ERROR_FILE_NOT_FOUND && registered && registered()) {
      std::this_thread::sleep_for(timings.absent_retry);
    } else {
      return INVALID_HANDLE_VALUE;
    }
    if (Clock::now() >= deadline) return INVALID_HANDLE_VALUE;
  }
}

// Waits for an overlapped operation. On time-out the operation is cancelled and
// waited for, so its buffer and OVERLAPPED outlive it.
bool Complete(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, milliseconds timeout, DWORD& transferred) {
  if (!started && GetLastError() != ERROR_IO_PENDING) return false;
  if (WaitForSingleObject(overlapped.hEvent, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
    CancelIoEx(pipe, &overlapped);
    GetOverlappedResult(pipe, &overlapped, &transferred, TRUE);
    return false;
  }
  return GetOverlappedResult(pipe, &overlapped, &transferred, FALSE) != FALSE;
}

}  // namespace

KillSwitchEndpoint KillSwitchEndpoint::Default() {
  return {"\\\\.\\pipe\\VLVPNKillSwitch", "VLVPNKillSwitch"};
}

std::string ExchangeOnce(const std::string& pipe_name, std::string_view line,
                         const std::function<bool()>& registered, const PipeTimings& timings) {
  const UniqueHandle pipe(OpenPipe(Utf8ToWide(pipe_name), registered, timings));
  if (!pipe.valid()) return {};
  const UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event.valid()) return {};

  while (!line.empty()) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    ResetEvent(event.get());
    DWORD written = 0;
    const BOOL started =
        WriteFile(pipe.get(), line.data(), static_cast<DWORD>(line.size()), nullptr, &overlapped);
    if (!Complete(pipe.get(), overlapped, started, timings.write_timeout, written) || written == 0) return {};
    line.remove_prefix(written);
  }

  char reply[kMaxReply];
  OVERLAPPED overlapped{};
  overlapped.hEvent = event.get();
  ResetEvent(event.get());
  DWORD read = 0;
  const BOOL started = ReadFile(pipe.get(), reply, sizeof reply, nullptr, &overlapped);
  if (!Complete(pipe.get(), overlapped, started, timings.read_timeout, read)) {
    // A reply longer than the buffer still delivers what fits.
    if (GetLastError() != ERROR_MORE_DATA) return {};
  }
  return std::string(reply, read);
}

}  // namespace vlvpn
