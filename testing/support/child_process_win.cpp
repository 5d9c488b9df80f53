#include <windows.h>

#include <map>
#include <stdexcept>
#include <thread>

#include "common/text.h"
#include "support/child_process.h"

namespace vlvpn::testing {

std::filesystem::path SiblingProgram(std::string_view name) {
  std::wstring self(32768, L'\0');
  self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
  return std::filesystem::path(self).parent_path() / (Utf8ToWide(name) + L".exe");
}

struct ChildProcess::Impl {
  HANDLE process = nullptr;
  HANDLE in = nullptr;
  HANDLE out = nullptr;
};

namespace {

// Quotes one argument so CommandLineToArgvW gives it back unchanged.
std::wstring Quote(const std::wstring& arg) {
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

// Environment names are case-insensitive on Windows.
struct NoCase {
  bool operator()(const std::wstring& a, const std::wstring& b) const {
    return _wcsicmp(a.c_str(), b.c_str()) < 0;
  }
};

}  // namespace

ChildProcess::ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                           const Environment& environment)
    : impl_(std::make_unique<Impl>()) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE child_in = nullptr, child_out = nullptr;
  if (!CreatePipe(&child_in, &impl_->in, &inherit, 0)) throw std::runtime_error("CreatePipe failed");
  if (!CreatePipe(&impl_->out, &child_out, &inherit, 0)) {
    CloseHandle(child_in);
    throw std::runtime_error("CreatePipe failed");
  }
  SetHandleInformation(impl_->in, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(impl_->out, HANDLE_FLAG_INHERIT, 0);

  std::map<std::wstring, std::wstring, NoCase> merged;
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* e = block; *e != L'\0'; e += wcslen(e) + 1) {
      const std::wstring entry(e);
      const auto eq = entry.find(L'=', 1);
      if (eq != std::wstring::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    FreeEnvironmentStringsW(block);
  }
  for (const auto& [name, value] : environment) merged[Utf8ToWide(name)] = Utf8ToWide(value);
  std::wstring env_block;
  for (const auto& [name, value] : merged) env_block += name + L"=" + value + L'\0';
  env_block += L'\0';

  std::wstring command_line = Quote(program.wstring());
  for (const std::string& arg : args) command_line += L" " + Quote(Utf8ToWide(arg));

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = child_in;
  startup.hStdOutput = child_out;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info{};
  const BOOL started = CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                      CREATE_UNICODE_ENVIRONMENT, env_block.data(), nullptr, &startup, &info);
  CloseHandle(child_in);
  CloseHandle(child_out);
  if (!started) throw std::runtime_error("cannot start " + PathToUtf8(program));
  CloseHandle(info.hThread);
  impl_->process = info.hProcess;
}

ChildProcess::~ChildProcess() {
  CloseInput();
  if (impl_->out != nullptr) CloseHandle(impl_->out);
  if (impl_->process != nullptr) {
    if (WaitForSingleObject(impl_->process, 0) == WAIT_TIMEOUT) {
      TerminateProcess(impl_->process, 1);
      WaitForSingleObject(impl_->process, 5000);
    }
    CloseHandle(impl_->process);
  }
}

bool ChildProcess::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!WriteFile(impl_->in, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
      return false;
    bytes.remove_prefix(written);
  }
  return true;
}

bool ChildProcess::ReadMore(std::chrono::steady_clock::time_point deadline) {
  // Anonymous pipes have no overlapped reads: look before reading so the wait is bounded.
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(impl_->out, nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available > 0) break;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  char chunk[4096];
  DWORD read = 0;
  if (!ReadFile(impl_->out, chunk, sizeof chunk, &read, nullptr) || read == 0) return false;
  buffer_.append(chunk, read);
  return true;
}

std::uint32_t ChildProcess::pid() const { return impl_->process != nullptr ? GetProcessId(impl_->process) : 0; }

void ChildProcess::CloseInput() {
  if (impl_->in != nullptr) CloseHandle(impl_->in);
  impl_->in = nullptr;
}

std::optional<int> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
  if (impl_->process == nullptr) return std::nullopt;
  if (WaitForSingleObject(impl_->process, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
    return std::nullopt;
  DWORD code = 0;
  GetExitCodeProcess(impl_->process, &code);
  return static_cast<int>(code);
}

}  // namespace vlvpn::testing
