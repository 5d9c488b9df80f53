#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "storage/data_locations.h"

namespace vlvpn {

// The credential target of an item: service + "/" + account, nothing escaped.
std::string KeychainTarget(std::string_view service, std::string_view account);

// The rejection text of a failed write.
std::string KeychainWriteFailure(unsigned long error);

// Secrets of the current user: generic credentials of the Credential Manager on
// Windows; elsewhere owner-only files in an owner-only folder beside the data
// folder, one per target.
class Keychain {
 public:
  explicit Keychain(const DataLocations& locations) : locations_(locations) {}

  // 0 on success, else the system's error number.
  unsigned long Write(std::string_view target, std::string_view value) const;
  // nullopt when missing or unreadable.
  std::optional<std::string> Read(std::string_view target) const;
  // Best effort; a missing item is no error.
  void Delete(std::string_view target) const;

 private:
  const DataLocations& locations_;
};

}  // namespace vlvpn
