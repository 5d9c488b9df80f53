#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vlvpn {

// The files the connect flow prepares in a profile's folder before OpenVPN starts.

// Writes "auth.txt" when a user name is given (an empty one keeps a saved file).
// Returns its path when the file exists afterwards, for --auth-user-pass. A user name
// or password with a line break is refused (std::invalid_argument), a write that fails
// throws FileWriteError.
std::optional<std::filesystem::path> PrepareCredentials(const std::filesystem::path& folder,
                                                        std::string_view username, std::string_view password);

// OpenVPN's management interface answers only who knows this, so no other local user
// can stop or steer the tunnel.
struct ManagementSecret {
  std::filesystem::path file;  // "management.txt" in the profile's folder, the user's alone
  std::string password;
};

// A new random password, replacing the folder's file (FileWriteError when it cannot).
ManagementSecret PrepareManagementPassword(const std::filesystem::path& folder);

// The password of the OpenVPN last started from that folder; empty when there is none.
std::string ReadManagementPassword(const std::filesystem::path& folder);

// The configuration: the named file when it is a regular file, else the first regular
// file (in the folder's own order) whose extension is exactly ".ovpn". An empty or
// unsafe name goes straight to the search. nullopt when there is none.
std::optional<std::filesystem::path> FindConfigFile(const std::filesystem::path& folder,
                                                    std::string_view name);

// The user-facing message when FindConfigFile finds nothing.
std::string ConfigNotFoundMessage(std::string_view profile_id);

// Keeps the previous run's log as "openvpn.log.1" and returns the path of the new
// "openvpn.log", made the user's alone. A log that cannot be moved aside is kept as it
// is; nothing here is an error.
std::filesystem::path RotateLog(const std::filesystem::path& folder);

}  // namespace vlvpn
