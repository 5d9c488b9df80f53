#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vlvpn {

// The folder the data root is chosen from: the shell's local application data
// folder, else the environment's; throws std::runtime_error when neither is an
// absolute path, so nothing is ever written at a drive's root.
std::filesystem::path ChooseBaseFolder(const std::filesystem::path& from_shell,
                                       const std::filesystem::path& from_environment);

// A packaged process keeps its data in the package's cache folder when that folder
// can be made; `make_folder` creates it and its parents, ignoring failure.
std::filesystem::path RedirectForPackage(
    const std::filesystem::path& base, const std::optional<std::string>& package_family,
    const std::function<void(const std::filesystem::path&)>& make_folder);

// Linux: $XDG_DATA_HOME when absolute, else $HOME/.local/share; throws when neither works.
std::filesystem::path XdgDataHome(std::string_view xdg_data_home, std::string_view home);

// The data root of this user on this machine. An absolute VLVPN_DATA_ROOT in the
// environment replaces it (portable installs, and tests that must not touch the
// user's own folders).
std::filesystem::path SystemDataRoot();

// Every path the system keeps data under. Nothing is cached: each lookup starts from
// the root afresh, and the folder lookups create what is missing, for the user alone
// (raising the standard filesystem error when they cannot). Names are checked before
// any file-system call.
class DataLocations {
 public:
  using RootProvider = std::function<std::filesystem::path()>;

  explicit DataLocations(RootProvider root = SystemDataRoot);

  std::filesystem::path DataRoot() const;
  std::filesystem::path AppFolder() const;  // not created
  std::filesystem::path ProfilesFolder() const;
  // A profile's folder, not created: reading an unknown profile leaves nothing behind.
  std::filesystem::path ProfileFolder(std::string_view id) const;
  std::filesystem::path CreateProfileFolder(std::string_view id) const;
  // A file inside a profile's folder (not created); both names must be plain.
  std::filesystem::path ProfileFile(std::string_view id, std::string_view file_name) const;
  std::filesystem::path PrefsFolder() const;
  std::filesystem::path PrefFilePath(std::string_view key) const;
  std::filesystem::path ActiveFile() const;      // not created
  std::filesystem::path KillSwitchFile() const;  // not created
  std::filesystem::path SwitchesFile() const;    // not created
  // Beside the application's folder, so secrets outlive its removal.
  std::filesystem::path KeychainFolder() const;  // not created

  // Removes the temporary files that writes killed midway left in every folder we
  // write (older than a minute, so a write under way elsewhere is never touched).
  // Returns how many; never throws.
  std::size_t RemoveCrashLeftovers() const;

 private:
  RootProvider root_;
};

}  // namespace vlvpn
