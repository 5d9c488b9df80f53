#include "tunnel/openvpn_lookup.h"

#include <system_error>

#include "common/file_io.h"
#include "common/text.h"

namespace fs = std::filesystem;

namespace vlvpn {
namespace {

#ifdef _WIN32
constexpr char kPathSeparator = ';';
#else
constexpr char kPathSeparator = ':';
#endif

}  // namespace

std::vector<fs::path> OpenVpnCandidates(const OpenVpnLookupPlaces& places) {
  const fs::path name = OpenVpnFileName();
  std::vector<fs::path> candidates;
  if (!places.exe_dir.empty()) {
    candidates.push_back(places.exe_dir / "openvpn" / name);
    candidates.push_back(places.exe_dir / name);
    if (places.exe_dir.has_relative_path()) {
      const fs::path parent = places.exe_dir.parent_path();
      candidates.push_back(parent / "openvpn" / name);
      candidates.push_back(parent / name);
    }
  }
  candidates.insert(candidates.end(), places.installs.begin(), places.installs.end());
  return candidates;
}

fs::path FindOpenVpn(const OpenVpnLookupPlaces& places) {
  for (const fs::path& candidate : OpenVpnCandidates(places)) {
    if (IsRegularFile(candidate)) return candidate;
  }
  const std::string_view search = places.search_path;
  std::size_t start = 0;
  while (start <= search.size()) {
    std::size_t end = search.find(kPathSeparator, start);
    if (end == std::string_view::npos) end = search.size();
    std::string_view entry = search.substr(start, end - start);
    // Windows allows quoted entries; an empty or relative entry would mean the current folder.
    if (entry.size() >= 2 && entry.front() == '"' && entry.back() == '"')
      entry = entry.substr(1, entry.size() - 2);
    const fs::path folder = PathFromUtf8(entry);
    if (!entry.empty() && folder.is_absolute() && IsRegularFile(folder / OpenVpnFileName())) {
      return folder / OpenVpnFileName();
    }
    start = end + 1;
  }
  return {};
}

fs::path LocateOpenVpn() { return FindOpenVpn(SystemOpenVpnPlaces()); }

}  // namespace vlvpn
