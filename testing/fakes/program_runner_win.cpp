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
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(path.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW | DETACHED_PROCESS, nullptr, nullptr, &startup, &info)) {
    return 0;
  }
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
