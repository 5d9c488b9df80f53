#pragma once

#include <string>
#include <string_view>

#include "storage/data_locations.h"

namespace vlvpn {

// Text values under text keys, one file per key in the prefs folder, stored as the
// value's exact bytes. Throws with a message for the user when a key cannot be
// stored or the folder cannot be made.
class UserDefaults {
 public:
  explicit UserDefaults(const DataLocations& locations) : locations_(locations) {}

  void Write(std::string_view key, std::string_view value) const;
  // The empty text when the key was never written or its file cannot be read.
  std::string Read(std::string_view key) const;

 private:
  const DataLocations& locations_;
};

}  // namespace vlvpn
