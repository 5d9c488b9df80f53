#include "device/device_facts.h"

#include <array>

#include "common/text.h"

namespace vlvpn {
namespace {

constexpr std::string_view kFallbackModel = "Windows PC";
constexpr std::string_view kFallbackOsVersion = "10";
constexpr std::string_view kMakerPlaceholder = "To be filled by O.E.M.";
constexpr std::array<std::string_view, 4> kProductPlaceholders = {
    "System Product Name", "To be filled by O.E.M.", "Default string", "Product Name"};

bool IsProductPlaceholder(std::string_view name) {
  for (std::string_view placeholder : kProductPlaceholders) {
    if (EqualsIgnoreAsciiCase(name, placeholder)) return true;
  }
  return false;
}

}  // namespace

std::string CleanDeviceName(std::string_view name) {
  std::string cleaned;
  cleaned.reserve(name.size());
  for (const char c : name) {
    if (c == '\r') continue;
    cleaned += (c == '\n') ? ' ' : c;
  }
  const std::size_t first = cleaned.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string(kFallbackModel);
  const std::size_t last = cleaned.find_last_not_of(" \t");
  return cleaned.substr(first, last - first + 1);
}

std::string DeviceModelFrom(const DeviceFacts& facts) {
  // Placeholders are judged on the raw text, before cleaning.
  if (!IsProductPlaceholder(facts.product_name) && !facts.product_name.empty()) {
    return CleanDeviceName(facts.product_name);
  }
  if (!facts.manufacturer.empty() && !EqualsIgnoreAsciiCase(facts.manufacturer, kMakerPlaceholder)) {
    return CleanDeviceName(facts.manufacturer + " PC");
  }
  return std::string(kFallbackModel);
}

std::string OsVersionFrom(const DeviceFacts& facts) {
  if (!facts.display_version.empty()) return facts.display_version;
  if (facts.major.empty() || facts.minor.empty()) return std::string(kFallbackOsVersion);
  std::string version = facts.major + "." + facts.minor;
  if (!facts.build.empty()) version += "." + facts.build;
  return version;
}

std::string OsReleaseVersionId(std::string_view os_release) {
  std::size_t start = 0;
  while (start <= os_release.size()) {
    std::size_t end = os_release.find('\n', start);
    if (end == std::string_view::npos) end = os_release.size();
    std::string_view line = os_release.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    constexpr std::string_view kKey = "VERSION_ID=";
    if (line.substr(0, kKey.size()) == kKey) {
      std::string_view value = line.substr(kKey.size());
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
      }
      return std::string(value);
    }
    start = end + 1;
  }
  return {};
}

std::string DeviceModel() { return DeviceModelFrom(ReadDeviceFacts()); }

std::string OsVersion() { return OsVersionFrom(ReadDeviceFacts()); }

}  // namespace vlvpn
