#include "storage/data_locations.h"

#include <stdexcept>
#include <system_error>

#include "common/file_io.h"
#include "common/text.h"
#include "storage/names.h"

namespace fs = std::filesystem;

namespace vlvpn {

fs::path ChooseBaseFolder(const fs::path& from_shell, const fs::path& from_environment) {
  if (!from_shell.empty() && from_shell.is_absolute()) return from_shell;
  if (!from_environment.empty() && from_environment.is_absolute()) return from_environment;
  throw std::runtime_error(
      "The user's local application data folder could not be found, so nothing can be stored.");
}

fs::path RedirectForPackage(const fs::path& base, const std::optional<std::string>& package_family,
                            const std::function<void(const fs::path&)>& make_folder) {
  if (!package_family || package_family->empty()) return base;
  const fs::path redirect = base / "Packages" / PathFromUtf8(*package_family) / "LocalCache" / "Local";
  make_folder(redirect);
  std::error_code ec;
  return fs::is_directory(redirect, ec) ? redirect : base;
}

fs::path XdgDataHome(std::string_view xdg_data_home, std::string_view home) {
  const fs::path xdg(xdg_data_home);
  if (!xdg.empty() && xdg.is_absolute()) return xdg;
  const fs::path home_path(home);
  return ChooseBaseFolder({}, home_path.empty() ? fs::path() : home_path / ".local" / "share");
}

DataLocations::DataLocations(RootProvider root) : root_(std::move(root)) {}

fs::path DataLocations::DataRoot() const { return root_(); }

fs::path DataLocations::AppFolder() const { return DataRoot() / "VLVPNDesk"; }

namespace {

fs::path Created(fs::path folder) {
  CreatePrivateFolder(folder);
  return folder;
}

}  // namespace

fs::path DataLocations::ProfilesFolder() const {
  Created(AppFolder());
  return Created(AppFolder() / "profiles");
}

fs::path DataLocations::ProfileFolder(std::string_view id) const {
  RequirePlainName(id, "profile id");
  return AppFolder() / "profiles" / PathFromUtf8(id);
}

fs::path DataLocations::CreateProfileFolder(std::string_view id) const {
  RequirePlainName(id, "profile id");
  return Created(ProfilesFolder() / PathFromUtf8(id));
}

fs::path DataLocations::ProfileFile(std::string_view id, std::string_view file_name) const {
  const fs::path folder = ProfileFolder(id);
  RequirePlainName(file_name, "file name");
  return folder / PathFromUtf8(file_name);
}

fs::path DataLocations::PrefsFolder() const {
  Created(AppFolder());
  return Created(AppFolder() / "prefs");
}

fs::path DataLocations::PrefFilePath(std::string_view key) const {
  const std::string name = PreferenceFileName(key);
  RequirePlainName(name, "preference key");
  return PrefsFolder() / PathFromUtf8(name);
}

fs::path DataLocations::ActiveFile() const { return AppFolder() / "active.txt"; }

fs::path DataLocations::KillSwitchFile() const { return AppFolder() / "killswitch.txt"; }

fs::path DataLocations::SwitchesFile() const { return AppFolder() / "switches.txt"; }

fs::path DataLocations::KeychainFolder() const { return DataRoot() / "VLVPNKeychain"; }

std::size_t DataLocations::RemoveCrashLeftovers() const {
  using namespace std::chrono_literals;
  std::size_t removed = 0;
  try {
    const fs::path app = AppFolder();
    for (const fs::path& folder : {app, app / "prefs", app / "profiles", KeychainFolder()}) {
      removed += RemoveStaleTemporaryFiles(folder, 60s);
    }
    std::error_code ec;
    for (fs::directory_iterator it(app / "profiles", ec), end; !ec && it != end; it.increment(ec)) {
      std::error_code entry_error;
      if (it->is_directory(entry_error) && !it->is_symlink(entry_error)) {
        removed += RemoveStaleTemporaryFiles(it->path(), 60s);
      }
    }
  } catch (const std::exception&) {
    // No data root: nothing was ever written.
  }
  return removed;
}

}  // namespace vlvpn
