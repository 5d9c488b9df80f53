#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <map>
#include <stdexcept>
#include <thread>

#include "common/arguments.h"
#include "common/child_process.h"
#include "common/system_error_text.h"
#include "common/text.h"
#include "common/unique_handle_win.h"

namespace vlvpn {

struct ChildProcess::Impl {
  UniqueHandle process;
  UniqueHandle job;  // with `tied`: kills the child when the last handle goes, with us if need be
  UniqueHandle in;
  UniqueHandle out;
};

namespace {

// Environment names are case-insensitive on Windows.
struct NoCase {
  bool operator()(const std::wstring& a, const std::wstring& b) const { return _wcsicmp(a.c_str(), b.c_str()) < 0; }
};

std::wstring EnvironmentBlock(const ChildProcess::Environment& environment) {
  std::map<std::wstring, std::wstring, NoCase> merged;
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* e = block; *e != L'\0'; e += wcslen(e) + 1) {
      const std::wstring entry(e);
      const auto eq = entry.find(L'=', 1);  // "=C:=C:\..." entries start with '='
      if (eq != std::wstring::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    FreeEnvironmentStringsW(block);
  }
  for (const auto& [name, value] : environment) merged[Utf8ToWide(name)] = Utf8ToWide(value);
  std::wstring text;
  for (const auto& [name, value] : merged) text += name + L"=" + value + L'\0';
  return text + L'\0';
}

// A pipe whose end `ours` is not inherited; the other is.
void InheritablePipe(UniqueHandle& read, UniqueHandle& write, bool ours_is_read) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE r = nullptr, w = nullptr;
  if (!CreatePipe(&r, &w, &inheritable, 0)) {
    throw std::runtime_error("Could not make a pipe: " + WindowsErrorText(GetLastError()));
  }
  read = UniqueHandle(r);
  write = UniqueHandle(w);
  SetHandleInformation(ours_is_read ? r : w, HANDLE_FLAG_INHERIT, 0);
}

// A C runtime descriptor owning the handle (closed with it on failure too); -1 on failure.
int DescriptorOf(HANDLE handle, int flags) {
  if (handle == nullptr) return -1;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
  if (fd < 0) CloseHandle(handle);
  return fd;
}

}  // namespace

ChildProcess::ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                           const Environment& environment, Options options)
    : impl_(std::make_unique<Impl>()) {
  UniqueHandle child_in, child_out;
  InheritablePipe(child_in, impl_->in, false);
  InheritablePipe(impl_->out, child_out, true);
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const UniqueHandle null_device(
      options.quiet ? CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                  OPEN_EXISTING, 0, nullptr)
                    : nullptr);
  if (options.tied) {
    impl_->job = UniqueHandle(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (impl_->job.valid()) {
      SetInformationJobObject(impl_->job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits));
    }
  }
  std::wstring command_line = Utf8ToWide(QuoteArgument(PathToUtf8(program)));
  for (const std::string& arg : args) command_line += L" " + Utf8ToWide(QuoteArgument(arg));
  std::wstring env_block = EnvironmentBlock(environment);

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = child_in.get();
  startup.hStdOutput = child_out.get();
  startup.hStdError = null_device.valid() ? null_device.get() : GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                      CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, env_block.data(), nullptr,
                      &startup, &info)) {
    throw std::runtime_error("Could not start \"" + PathToUtf8(program) + "\": " + WindowsErrorText(GetLastError()));
  }
  if (impl_->job.valid()) AssignProcessToJobObject(impl_->job.get(), info.hProcess);
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
  impl_->process = UniqueHandle(info.hProcess);
}

ChildProcess::~ChildProcess() {
  CloseInput();
  impl_->out = UniqueHandle();
  if (impl_->process.valid() && WaitForSingleObject(impl_->process.get(), 0) == WAIT_TIMEOUT) {
    TerminateProcess(impl_->process.get(), 1);
    WaitForSingleObject(impl_->process.get(), 5000);
  }
}

bool ChildProcess::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!WriteFile(impl_->in.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

bool ChildProcess::ReadMore(std::chrono::steady_clock::time_point deadline) {
  // Anonymous pipes have no overlapped reads: look before reading so the wait is bounded.
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(impl_->out.get(), nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available > 0) break;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  char chunk[4096];
  DWORD read = 0;
  if (!ReadFile(impl_->out.get(), chunk, sizeof chunk, &read, nullptr) || read == 0) return false;
  buffer_.append(chunk, read);
  return true;
}

void ChildProcess::CloseInput() { impl_->in = UniqueHandle(); }
int ChildProcess::TakeInput() { return DescriptorOf(impl_->in.release(), _O_WRONLY); }
int ChildProcess::TakeOutput() { return DescriptorOf(impl_->out.release(), _O_RDONLY); }

std::uint32_t ChildProcess::pid() const {
  return impl_->process.valid() ? GetProcessId(impl_->process.get()) : 0;
}

void ChildProcess::Terminate() {
  if (impl_->process.valid()) TerminateProcess(impl_->process.get(), 0);
}

std::optional<int> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
  if (!impl_->process.valid() ||
      WaitForSingleObject(impl_->process.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
    return std::nullopt;
  }
  DWORD code = 0;
  GetExitCodeProcess(impl_->process.get(), &code);
  return static_cast<int>(code);
}

}  // namespace vlvpn
