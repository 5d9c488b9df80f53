#include "device/build_constants.h"

#include "device/device_facts.h"

namespace vlvpn {

std::string FormatProductVersion(std::uint32_t version_ms, std::uint32_t version_ls) {
  return std::to_string(version_ms >> 16) + "." + std::to_string(version_ms & 0xFFFFu) + "." +
         std::to_string(version_ls >> 16);
}

Value BuildConstants() {
  Value constants = Value::object();
  constants["apiBaseUrl"] = "https://api.velunorvpn.com/api/v1";
  constants["includeVpnAuthDeviceMetadata"] = false;
  constants["versionName"] = VersionName();
  constants["appDisplayName"] = "Velunor VPN";
  const DeviceFacts facts = ReadDeviceFacts();
  constants["osVersion"] = OsVersionFrom(facts);
  constants["deviceModel"] = DeviceModelFrom(facts);
  return constants;
}

}  // namespace vlvpn
