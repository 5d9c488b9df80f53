#include <windows.h>

#include <stdexcept>

#include "common/file_io.h"
#include "common/system_error_text.h"
#include "common/text.h"

namespace vlvpn {
namespace {

[[noreturn]] void ThrowWriteError(const std::filesystem::path& target, DWORD error) {
  throw FileWriteError("Could not write \"" + PathToUtf8(target) + "\": " + WindowsErrorText(error), error);
}

// Closes the handle and deletes the temporary file unless the write was committed.
class PendingFile {
 public:
  PendingFile(std::filesystem::path path, HANDLE handle) : path_(std::move(path)), handle_(handle) {}
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    if (!committed_) DeleteFileW(path_.c_str());
  }
  HANDLE handle() const { return handle_; }
  bool Close() {
    const BOOL ok = CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return ok != FALSE;
  }
  void Commit() { committed_ = true; }

 private:
  std::filesystem::path path_;
  HANDLE handle_;
  bool committed_ = false;
};

}  // namespace

void WriteFileAtomically(const std::filesystem::path& target, std::string_view bytes, FileAccess) {
  const std::filesystem::path temporary = TemporarySibling(target);
  HANDLE handle =
      CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) ThrowWriteError(target, GetLastError());
  PendingFile file(temporary, handle);

  std::size_t written = 0;
  while (written < bytes.size()) {
    const std::size_t chunk = std::min<std::size_t>(bytes.size() - written, 1u << 30);
    DWORD done = 0;
    if (!WriteFile(file.handle(), bytes.data() + written, static_cast<DWORD>(chunk), &done, nullptr)) {
      ThrowWriteError(target, GetLastError());
    }
    written += done;
  }
  if (!FlushFileBuffers(file.handle())) ThrowWriteError(target, GetLastError());
  if (!file.Close()) ThrowWriteError(target, GetLastError());
  if (!MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ThrowWriteError(target, GetLastError());
  }
  file.Commit();
}

bool MoveFileReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != FALSE;
}

}  // namespace vlvpn
