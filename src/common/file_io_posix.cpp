#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "common/file_io.h"
#include "common/text.h"

namespace vlvpn {
namespace {

[[noreturn]] void ThrowWriteError(const std::filesystem::path& target, int error) {
  throw FileWriteError("Could not write \"" + PathToUtf8(target) + "\": " + std::strerror(error),
                       static_cast<unsigned long>(error));
}

// Closes the descriptor and removes the temporary file unless the write was committed.
class PendingFile {
 public:
  PendingFile(std::filesystem::path path, int fd) : path_(std::move(path)), fd_(fd) {}
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(path_.c_str());
  }
  int fd() const { return fd_; }
  int Close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
  }
  void Commit() { committed_ = true; }

 private:
  std::filesystem::path path_;
  int fd_;
  bool committed_ = false;
};

}  // namespace

void WriteFileAtomically(const std::filesystem::path& target, std::string_view bytes, FileAccess access) {
  const std::filesystem::path temporary = TemporarySibling(target);
  const mode_t mode = access == FileAccess::kOwnerOnly ? 0600 : 0666;
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) ThrowWriteError(target, errno);
  PendingFile file(temporary, fd);

  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(file.fd(), bytes.data() + written, bytes.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowWriteError(target, errno);
    }
    written += static_cast<std::size_t>(n);
  }
  if (::fsync(file.fd()) != 0) ThrowWriteError(target, errno);
  if (file.Close() != 0) ThrowWriteError(target, errno);
  if (::rename(temporary.c_str(), target.c_str()) != 0) ThrowWriteError(target, errno);
  file.Commit();
}

bool MoveFileReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  if (errno != EXDEV) return false;
  std::error_code ec;
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) return false;
  std::filesystem::remove(from, ec);
  return true;
}

}  // namespace vlvpn
