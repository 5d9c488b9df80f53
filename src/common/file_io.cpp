#include "common/file_io.h"

#include "common/text.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>

namespace vlvpn {

std::optional<std::string> ReadFileBytes(const std::filesystem::path& path) {
  // A folder opens as a stream on Linux and then throws on the first read.
  if (!IsRegularFile(path)) return std::nullopt;
  try {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) return std::nullopt;
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return std::nullopt;
    return bytes;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::filesystem::path TemporarySibling(const std::filesystem::path& target) {
  // A random tag per process and a counter per write keep concurrent writers (threads
  // or processes) apart; the exclusive create turns a collision into a retry, never a
  // shared file. Short, and never ending in an extension a reader of the folder looks for.
  static const std::uint32_t process_tag = std::random_device{}();
  static std::atomic<std::uint32_t> counter{0};
  char name[40];
  std::snprintf(name, sizeof name, ".vlvpn-%x-%x.tmp", process_tag, counter.fetch_add(1));
  return target.parent_path() / name;
}

bool IsTemporaryName(std::string_view name) {
  constexpr std::string_view kPrefix = ".vlvpn-";
  constexpr std::string_view kSuffix = ".tmp";
  if (name.size() <= kPrefix.size() + kSuffix.size() || !name.starts_with(kPrefix) || !name.ends_with(kSuffix)) {
    return false;
  }
  // "<hex>-<hex>" (older builds wrote decimal, which is hex too).
  const std::string_view middle = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  const std::size_t dash = middle.find('-');
  if (dash == std::string_view::npos || dash == 0 || dash + 1 == middle.size()) return false;
  const auto hex = [](std::string_view part) {
    return part.find_first_not_of("0123456789abcdef") == std::string_view::npos;
  };
  return hex(middle.substr(0, dash)) && hex(middle.substr(dash + 1));
}

std::size_t RemoveStaleTemporaryFiles(const std::filesystem::path& folder, std::chrono::seconds max_age) {
  namespace fs = std::filesystem;
  std::size_t removed = 0;
  std::error_code ec;
  const auto now = fs::file_time_type::clock::now();
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (!IsTemporaryName(PathToUtf8(it->path().filename()))) continue;
    std::error_code entry_error;
    if (!fs::is_regular_file(it->symlink_status(entry_error)) || entry_error) continue;
    const auto written = fs::last_write_time(it->path(), entry_error);
    if (entry_error || now - written < max_age) continue;
    if (fs::remove(it->path(), entry_error)) ++removed;
  }
  return removed;
}

bool IsRegularFile(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

std::optional<std::filesystem::path> FindInSearchPath(std::string_view search_path,
                                                      const std::filesystem::path& file_name) {
#ifdef _WIN32
  constexpr char kSeparator = ';';
#else
  constexpr char kSeparator = ':';
#endif
  std::size_t start = 0;
  while (start <= search_path.size()) {
    std::size_t end = search_path.find(kSeparator, start);
    if (end == std::string_view::npos) end = search_path.size();
    std::string_view entry = search_path.substr(start, end - start);
    if (entry.size() >= 2 && entry.front() == '"' && entry.back() == '"') entry = entry.substr(1, entry.size() - 2);
    const std::filesystem::path folder = PathFromUtf8(entry);
    if (!entry.empty() && folder.is_absolute() && IsRegularFile(folder / file_name)) return folder / file_name;
    start = end + 1;
  }
  return std::nullopt;
}

}  // namespace vlvpn
