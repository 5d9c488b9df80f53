#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vlvpn {

// What the OpenVPN lookup looks at; the platform fills it, tests make their own.
struct OpenVpnLookupPlaces {
  std::filesystem::path exe_dir;                // folder of the running executable
  std::vector<std::filesystem::path> installs;  // fixed install locations, in order
  std::string search_path;                      // the PATH variable's value (UTF-8)
};

// The program's file name on this platform ("openvpn.exe" or "openvpn").
std::filesystem::path OpenVpnFileName();

// Candidates in order: beside the executable (in an "openvpn" folder, then directly),
// the same in the folder above, the fixed install locations.
std::vector<std::filesystem::path> OpenVpnCandidates(const OpenVpnLookupPlaces& places);

// The first candidate that is a regular file, else the first PATH entry holding the
// program; never the current folder (a planted program there would run elevated).
// Empty when OpenVPN is not installed.
std::filesystem::path FindOpenVpn(const OpenVpnLookupPlaces& places);

// The places of this machine and this executable.
OpenVpnLookupPlaces SystemOpenVpnPlaces();
std::filesystem::path LocateOpenVpn();

}  // namespace vlvpn
