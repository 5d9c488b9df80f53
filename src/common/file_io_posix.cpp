#include <fcntl.h>
#include <sys/stat.h>
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

void WriteFileAtomically(const std::filesystem::path& target, std::string_view bytes) {
  std::filesystem::path temporary;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    temporary = TemporarySibling(target);
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && (errno != EEXIST || attempt == 8)) ThrowWriteError(target, errno);
  }
  PendingFile file(temporary, fd);
  // The umask may take bits away from 0600 (a 0277 umask would leave it unwritable by
  // the next replacement's reader); the file is exactly the user's.
  if (::fchmod(file.fd(), 0600) != 0) ThrowWriteError(target, errno);

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

void CreatePrivateFolder(const std::filesystem::path& folder) {
  if (folder.has_parent_path()) std::filesystem::create_directories(folder.parent_path());
  if (::mkdir(folder.c_str(), 0700) == 0) {
    // mkdir applies the umask, which can only take bits away; make it exactly 0700.
    ::chmod(folder.c_str(), 0700);
    return;
  }
  const int error = errno;
  struct stat info {};
  if (error != EEXIST || ::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    throw std::filesystem::filesystem_error("cannot create directory", folder,
                                            std::error_code(error == EEXIST ? ENOTDIR : error, std::generic_category()));
  }
  if (info.st_uid == ::geteuid() && (info.st_mode & 07777) != 0700) ::chmod(folder.c_str(), 0700);
}

void PreparePrivateFile(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd < 0) return;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
      (info.st_mode & 07777) != 0600) {
    ::fchmod(fd, 0600);
  }
  ::close(fd);
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
