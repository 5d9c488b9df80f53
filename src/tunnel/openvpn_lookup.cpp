#include "tunnel/openvpn_lookup.h"

#include <system_error>

#include "common/file_io.h"
#include "common/text.h"

namespace fs = std::filesystem;

namespace vlvpn {
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
  return FindInSearchPath(places.search_path, OpenVpnFileName()).value_or(fs::path());
}

fs::path LocateOpenVpn() { return FindOpenVpn(SystemOpenVpnPlaces()); }

}  // namespace vlvpn
