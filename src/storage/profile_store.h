#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "storage/data_locations.h"

namespace vlvpn {

// Saved OpenVPN profiles: one folder per id holding the configuration file, the
// interface's "meta.json" and the credentials file "auth.txt". Contents are stored
// byte for byte. Every method throws (std::exception) with a message for the user;
// ids and file names are checked before the file system is touched.
class ProfileStore {
 public:
  struct SavedConfig {
    std::string config_path;  // UTF-8
    std::string file_name;
  };
  struct Credentials {
    std::string username;
    std::string password;
  };

  explicit ProfileStore(const DataLocations& locations) : locations_(locations) {}

  SavedConfig SaveConfig(std::string_view id, std::string_view config, std::string_view file_name) const;
  void SaveMeta(std::string_view id, std::string_view meta) const;
  // The text of every listed profile's "meta.json", in the file system's order; one
  // that is there but cannot be read lists as "". Never throws.
  std::vector<std::string> ListMeta() const;
  // Removes the profile's folder and everything in it; an unknown id is no error.
  void Delete(std::string_view id) const;
  // Line breaks cannot round-trip through the two-line file and are refused.
  void SaveCredentials(std::string_view id, std::string_view username, std::string_view password) const;
  // Throws std::runtime_error("Auth file not found") when there is none.
  Credentials ReadCredentials(std::string_view id) const;

  // The two-line form OpenVPN's --auth-user-pass reads.
  // The credentials file's name inside a profile folder.
  static constexpr std::string_view kCredentialsFile = "auth.txt";
  static std::string CredentialsFileText(std::string_view username, std::string_view password);
  static Credentials ParseCredentialsFile(std::string_view text);

 private:
  std::filesystem::path WritablePath(std::string_view id, std::string_view file_name) const;

  const DataLocations& locations_;
};

}  // namespace vlvpn
