#include <windows.h>

#include "common/text.h"
#include "fakes/program_runner.h"
#include "common/arguments.h"

namespace vlvpn::fakes {

struct ProgramRunner::Impl {
  HANDLE process = nullptr;
  DWORD pid = 0;
};

ProgramRunner::ProgramRunner() : impl_(std::make_unique<Impl>()) {}
ProgramRunner::~ProgramRunner() {
  if (impl_->process != nullptr) CloseHandle(impl_->process);
}

std::uint32_t ProgramRunner::Start(const std::string& program, const std::vector<std::string>& args) {
  std::string line = QuoteArgument(program);
  for (const std::string& arg : args) line += " " + QuoteArgument(arg);
  std::wstring command_line = Utf8ToWide(line);
  const std::wstring path = Utf8ToWide(program);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  // As the service: OpenVPN's own output (what it says before --log takes effect) is
  // appended to its log.
  const std::string log = OptionValue(args, "--log");
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE output = log.empty() ? INVALID_HANDLE_VALUE
                              : CreateFileW(Utf8ToWide(log).c_str(), FILE_APPEND_DATA,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherited,
                                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output != INVALID_HANDLE_VALUE) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
  }
  PROCESS_INFORMATION info{};
  const BOOL started = CreateProcessW(path.c_str(), command_line.data(), nullptr, nullptr,
                                      output != INVALID_HANDLE_VALUE, CREATE_NO_WINDOW | DETACHED_PROCESS, nullptr,
                                      nullptr, &startup, &info);
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
  if (!started) return 0;
  CloseHandle(info.hThread);
  if (impl_->process != nullptr) CloseHandle(impl_->process);
  impl_->process = info.hProcess;
  impl_->pid = info.dwProcessId;
  return impl_->pid;
}

std::uint32_t ProgramRunner::RunningPid() {
  if (impl_->process == nullptr) return 0;
  if (WaitForSingleObject(impl_->process, 0) == WAIT_OBJECT_0) return 0;
  return impl_->pid;
}

void ProgramRunner::Stop() {
  if (RunningPid() == 0) return;
  TerminateProcess(impl_->process, 1);
  WaitForSingleObject(impl_->process, 5000);
}

}  // namespace vlvpn::fakes
