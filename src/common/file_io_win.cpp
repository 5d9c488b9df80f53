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

// The form the file functions take past MAX_PATH: "\\?\" turns off the length limit
// (and the parsing that would undo "." and "..", so the path is made normal first).
std::filesystem::path ExtendedLengthForm(const std::filesystem::path& path) {
  const std::wstring& text = path.native();
  if (text.size() < MAX_PATH || !path.is_absolute() || text.starts_with(LR"(\\?\)")) return path;
  const std::wstring normal = path.lexically_normal().make_preferred().native();
  if (normal.starts_with(LR"(\\)")) return std::filesystem::path(LR"(\\?\UNC\)" + normal.substr(2));
  return std::filesystem::path(LR"(\\?\)" + normal);
}

}  // namespace

void WriteFileAtomically(const std::filesystem::path& target_path, std::string_view bytes) {
  // The temporary sibling's name may be longer than the target's: a target that fits
  // the classic limit must not fail only because its sibling does not.
  const std::filesystem::path target = ExtendedLengthForm(target_path);
  std::filesystem::path temporary;
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (int attempt = 0; handle == INVALID_HANDLE_VALUE; ++attempt) {
    temporary = ExtendedLengthForm(TemporarySibling(target_path));
    handle = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) break;
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS || attempt == 8) ThrowWriteError(target_path, error);
  }
  PendingFile file(temporary, handle);

  std::size_t written = 0;
  while (written < bytes.size()) {
    const std::size_t chunk = std::min<std::size_t>(bytes.size() - written, 1u << 30);
    DWORD done = 0;
    if (!WriteFile(file.handle(), bytes.data() + written, static_cast<DWORD>(chunk), &done, nullptr)) {
      ThrowWriteError(target_path, GetLastError());
    }
    written += done;
  }
  if (!FlushFileBuffers(file.handle())) ThrowWriteError(target_path, GetLastError());
  if (!file.Close()) ThrowWriteError(target_path, GetLastError());
  if (!MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ThrowWriteError(target_path, GetLastError());
  }
  file.Commit();
}

// Folders under the per-user application data folder inherit its ACL, which keeps
// other users out; nothing here adds an entry of its own.
void CreatePrivateFolder(const std::filesystem::path& folder) { std::filesystem::create_directories(folder); }

void PreparePrivateFile(const std::filesystem::path&) {}

bool MoveFileReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != FALSE;
}

}  // namespace vlvpn
