#include "common/file_io.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>

namespace vlvpn {

std::optional<std::string> ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) return std::nullopt;
  std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) return std::nullopt;
  return bytes;
}

std::filesystem::path TemporarySibling(const std::filesystem::path& target) {
  static std::atomic<unsigned> counter{0};
  const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
  // Short and fixed in shape so it fits wherever the target's name fits, and never
  // ends in an extension a reader of the folder looks for.
  const std::string name = ".vlvpn-" + std::to_string(static_cast<unsigned long long>(ticks) % 1000000007ULL) +
                           "-" + std::to_string(counter.fetch_add(1)) + ".tmp";
  return target.parent_path() / name;
}

}  // namespace vlvpn
