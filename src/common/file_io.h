#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vlvpn {

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
// leaves half a file. The file is the user's alone (0600 whatever the umask on Linux;
// on Windows it inherits the per-user folder's ACL). Throws FileWriteError naming the
// path and the system's reason.
void WriteFileAtomically(const std::filesystem::path& target, std::string_view bytes);

// Every byte of a regular file, read in binary mode; nullopt when there is none (a
// folder or device at the path included) or it cannot be read.
std::optional<std::string> ReadFileBytes(const std::filesystem::path& path);

// Creates `folder` (and missing parents) for the user alone: on Linux the folder itself
// is 0700, an existing one of ours is tightened to that; parents outside it are made
// as the system makes them. Throws std::filesystem::filesystem_error.
void CreatePrivateFolder(const std::filesystem::path& folder);

// Makes a file someone else will write (OpenVPN's log) exist as the user's alone,
// without touching its contents; an existing one is tightened. Linux only: Windows
// files inherit the per-user folder's ACL. Failures are ignored.
void PreparePrivateFile(const std::filesystem::path& path);

// Our temporary files (a write's ".vlvpn-<tag>-<n>.tmp") in `folder` older than
// `max_age`: left by a process that died mid-write. Removes them; returns how many.
// Nothing else is touched, and an unreadable folder is no error.
std::size_t RemoveStaleTemporaryFiles(const std::filesystem::path& folder, std::chrono::seconds max_age);

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

// Whether a file name is one TemporarySibling gives.
bool IsTemporaryName(std::string_view file_name);

}  // namespace vlvpn
