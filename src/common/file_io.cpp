#include "common/file_io.h"

#include "common/text.h"

#include <atomic>
#include <fstream>
#include <iterator>
#include <random>

namespace vlvpn {

std::optional<std::string> ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) return std::nullopt;
  std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) return std::nullopt;
  return bytes;
}

std::filesystem::path TemporarySibling(const std::filesystem::path& target) {
  // A random tag per process and a counter per write keep concurrent writers (threads
  // or processes) apart; the exclusive create turns any collision into an error, never
  // a shared file. Short, so it fits wherever the target's name fits, and never ending
  // in an extension a reader of the folder looks for.
  static const unsigned long long process_tag =
      (static_cast<unsigned long long>(std::random_device{}()) << 32) ^ std::random_device{}();
  static std::atomic<unsigned> counter{0};
  const std::string name =
      ".vlvpn-" + std::to_string(process_tag) + "-" + std::to_string(counter.fetch_add(1)) + ".tmp";
  return target.parent_path() / name;
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
