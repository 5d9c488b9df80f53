#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vlvpn {

// Raw facts as the machine reports them; an unreadable fact is empty.
struct DeviceFacts {
  std::string product_name;     // firmware product name
  std::string manufacturer;     // firmware maker
  std::string display_version;  // the OS's own version name, first choice
  std::string major;            // version numbers, second choice
  std::string minor;
  std::string build;
};

// Line breaks folded, blanks and tabs trimmed; "Windows PC" when nothing is left.
std::string CleanDeviceName(std::string_view name);
// Product name unless it is a placeholder, else "<maker> PC", else "Windows PC".
std::string DeviceModelFrom(const DeviceFacts& facts);
// The display version, else "major.minor[.build]", else "10".
std::string OsVersionFrom(const DeviceFacts& facts);

// VERSION_ID of an os-release text, unquoted; empty when absent.
std::string OsReleaseVersionId(std::string_view os_release);

// Reads this machine's facts: the registry on Windows; on Linux DMI and os-release
// below `root` ("/" outside tests).
DeviceFacts ReadDeviceFacts(const std::filesystem::path& root = "/");

std::string DeviceModel();
std::string OsVersion();

}  // namespace vlvpn
