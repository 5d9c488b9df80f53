#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vlvpn {

enum class FileAccess { kDefault, kOwnerOnly };

// A file that could not be written; carries the system's error number
// (errno, or GetLastError on Windows) beside the readable text.
class FileWriteError : public std::runtime_error {
 public:
  FileWriteError(const std::string& what, unsigned long error) : std::runtime_error(what), error_(error) {}
  unsigned long error() const { return error_; }

 private:
  unsigned long error_;
};

// Replaces `target` whole: the bytes go to a temporary file beside it, are flushed,
// and the temporary file is renamed over the target, so an interrupted write never
// leaves half a file. Throws FileWriteError naming the path and the system's reason.
void WriteFileAtomically(const std::filesystem::path& target, std::string_view bytes,
                         FileAccess access = FileAccess::kDefault);

// Every byte of a file, read in binary mode; nullopt when it cannot be opened or read.
std::optional<std::string> ReadFileBytes(const std::filesystem::path& path);

// Whether a regular file is there; errors read as no.
bool IsRegularFile(const std::filesystem::path& path);

// The first folder of a PATH-style list (UTF-8; ';' on Windows, ':' elsewhere, quoted
// entries allowed) that holds `file_name` as a regular file. Empty and relative entries
// are skipped: they would mean the current folder, where anyone may plant a program.
std::optional<std::filesystem::path> FindInSearchPath(std::string_view search_path,
                                                      const std::filesystem::path& file_name);

// Moves a file over another (replacing it, copying across volumes when it must).
// Returns false when nothing was moved.
bool MoveFileReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

// Name of a temporary file beside `target`, unique within this process run.
std::filesystem::path TemporarySibling(const std::filesystem::path& target);

}  // namespace vlvpn
