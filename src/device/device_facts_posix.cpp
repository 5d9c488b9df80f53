#include "common/file_io.h"
#include "device/device_facts.h"

namespace vlvpn {
namespace {

// sysfs ends each attribute with one line feed that is not part of the value.
std::string SysfsAttribute(const std::filesystem::path& path) {
  std::string value = ReadFileBytes(path).value_or(std::string());
  if (!value.empty() && value.back() == '\n') value.pop_back();
  return value;
}

}  // namespace

DeviceFacts ReadDeviceFacts(const std::filesystem::path& root) {
  const std::filesystem::path dmi = root / "sys/class/dmi/id";
  DeviceFacts facts;
  facts.product_name = SysfsAttribute(dmi / "product_name");
  facts.manufacturer = SysfsAttribute(dmi / "sys_vendor");
  std::optional<std::string> os_release = ReadFileBytes(root / "etc/os-release");
  if (!os_release) os_release = ReadFileBytes(root / "usr/lib/os-release");
  facts.display_version = OsReleaseVersionId(os_release.value_or(std::string()));
  return facts;
}

}  // namespace vlvpn
