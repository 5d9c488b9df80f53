#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include "app/bundle_host.h"
#include "common/arguments.h"
#include "common/file_io.h"
#include "common/text.h"
#include "common/system_error_text.h"
#include "common/unique_handle_win.h"

namespace vlvpn {

struct InterfaceChild::Impl {
  UniqueHandle process;
  UniqueHandle job;  // kills the child when the last handle goes, with us if need be
  DWORD pid = 0;
};

namespace {

// A C runtime descriptor owning the handle (closed with it on failure too); -1 on failure.
int DescriptorOf(HANDLE handle, int flags) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
  if (fd < 0) CloseHandle(handle);
  return fd;
}

}  // namespace

std::optional<std::filesystem::path> FindNode(const std::filesystem::path& executable_folder) {
  if (IsRegularFile(executable_folder / L"node.exe")) return executable_folder / L"node.exe";
  const DWORD needed = GetEnvironmentVariableW(L"PATH", nullptr, 0);
  std::wstring path(needed, L'\0');
  const DWORD length = needed == 0 ? 0 : GetEnvironmentVariableW(L"PATH", path.data(), needed);
  path.resize(length < needed ? length : 0);
  return FindInSearchPath(WideToUtf8(path), L"node.exe");
}

std::unique_ptr<InterfaceChild> InterfaceChild::Start(const std::filesystem::path& node,
                                                      const std::filesystem::path& bundle, std::string& error) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE child_in = nullptr, to_child = nullptr, from_child = nullptr, child_out = nullptr;
  if (!CreatePipe(&child_in, &to_child, &inheritable, 0)) {
    error = "Could not make a pipe: " + WindowsErrorText(GetLastError());
    return nullptr;
  }
  if (!CreatePipe(&from_child, &child_out, &inheritable, 0)) {
    error = "Could not make a pipe: " + WindowsErrorText(GetLastError());
    for (HANDLE handle : {child_in, to_child}) CloseHandle(handle);
    return nullptr;
  }
  // The child's ends close when the child has them; ours stay ours (not inherited).
  UniqueHandle child_in_owner(child_in), child_out_owner(child_out);
  SetHandleInformation(to_child, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(from_child, HANDLE_FLAG_INHERIT, 0);
  UniqueHandle null_device(
      CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0, nullptr));

  auto impl = std::make_shared<Impl>();
  impl->job = UniqueHandle(CreateJobObjectW(nullptr, nullptr));
  if (impl->job.valid()) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(impl->job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits));
  }

  std::wstring command_line = Utf8ToWide(QuoteArgument(PathToUtf8(node)) + " " + QuoteArgument(PathToUtf8(bundle)) +
                                         " " + std::string(kBundleHostFlag));
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = child_in;
  startup.hStdOutput = child_out;
  startup.hStdError = null_device.valid() ? null_device.get() : child_out;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(node.c_str(), command_line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED | CREATE_NO_WINDOW,
                      nullptr, nullptr, &startup, &info)) {
    error = "Could not start \"" + PathToUtf8(node) + "\": " + WindowsErrorText(GetLastError());
    for (HANDLE handle : {to_child, from_child}) CloseHandle(handle);
    return nullptr;
  }
  if (impl->job.valid()) AssignProcessToJobObject(impl->job.get(), info.hProcess);
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
  impl->process = UniqueHandle(info.hProcess);
  impl->pid = info.dwProcessId;

  // Our ends go to the streams, which close them.
  const int from_fd = DescriptorOf(from_child, _O_RDONLY);
  const int to_fd = DescriptorOf(to_child, _O_WRONLY);
  if (from_fd < 0 || to_fd < 0) {
    error = "Could not open the interface's pipes.";
    for (const int fd : {from_fd, to_fd}) {
      if (fd >= 0) _close(fd);
    }
    return nullptr;  // the child goes with the job
  }
  return std::unique_ptr<InterfaceChild>(new InterfaceChild(std::move(impl), from_fd, to_fd));
}

void InterfaceChild::Reap() { WaitForSingleObject(impl_->process.get(), 5000); }

void InterfaceChild::Terminate() { TerminateProcess(impl_->process.get(), 0); }

std::uint32_t InterfaceChild::pid() const { return impl_->pid; }

}  // namespace vlvpn
