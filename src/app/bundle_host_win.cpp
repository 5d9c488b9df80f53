#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <ext/stdio_filebuf.h>

#include "app/bundle_host.h"
#include "common/arguments.h"
#include "common/text.h"
#include "common/system_error_text.h"
#include "common/unique_handle_win.h"

namespace vlvpn {

using FileBuffer = __gnu_cxx::stdio_filebuf<char>;

struct InterfaceChild::Impl {
  UniqueHandle process;
  UniqueHandle job;  // kills the child when the last handle goes, with us if need be
  DWORD pid = 0;
  std::unique_ptr<FileBuffer> from_buffer, to_buffer;
  std::unique_ptr<std::istream> from;
  std::unique_ptr<std::ostream> to;
};

namespace {

std::optional<std::filesystem::path> Existing(const std::filesystem::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return std::nullopt;
  return path;
}

std::unique_ptr<FileBuffer> BufferOn(HANDLE handle, int flags, std::ios::openmode mode) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  return std::make_unique<FileBuffer>(fd, mode | std::ios::binary);
}

}  // namespace

std::optional<std::filesystem::path> FindNode(const std::filesystem::path& executable_folder) {
  if (auto beside = Existing(executable_folder / L"node.exe")) return beside;
  wchar_t found[MAX_PATH * 4] = {};
  const DWORD length = SearchPathW(nullptr, L"node.exe", nullptr, MAX_PATH * 4, found, nullptr);
  if (length == 0 || length >= MAX_PATH * 4) return std::nullopt;
  return std::filesystem::path(std::wstring(found, length));
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

  auto impl = std::make_unique<Impl>();
  impl->job = UniqueHandle(CreateJobObjectW(nullptr, nullptr));
  if (impl->job.valid()) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(impl->job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits));
  }

  std::wstring command_line = Utf8ToWide(QuoteArgument(PathToUtf8(node)) + " " + QuoteArgument(PathToUtf8(bundle)));
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
  impl->from_buffer = BufferOn(from_child, _O_RDONLY, std::ios::in);
  impl->to_buffer = BufferOn(to_child, _O_WRONLY, std::ios::out);
  if (!impl->from_buffer || !impl->to_buffer) {
    error = "Could not open the interface's pipes.";
    return nullptr;  // the child goes with the job
  }
  impl->from = std::make_unique<std::istream>(impl->from_buffer.get());
  impl->to = std::make_unique<std::ostream>(impl->to_buffer.get());
  return std::unique_ptr<InterfaceChild>(new InterfaceChild(std::move(impl)));
}

InterfaceChild::InterfaceChild(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

InterfaceChild::~InterfaceChild() {
  impl_->to.reset();
  impl_->to_buffer.reset();
  Terminate();
  WaitForSingleObject(impl_->process.get(), 5000);
}

void InterfaceChild::Terminate() { TerminateProcess(impl_->process.get(), 0); }

std::istream& InterfaceChild::FromChild() { return *impl_->from; }
std::ostream& InterfaceChild::ToChild() { return *impl_->to; }
std::uint32_t InterfaceChild::pid() const { return impl_->pid; }

}  // namespace vlvpn
