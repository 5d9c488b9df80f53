#include <cstdlib>

#include "common/file_io.h"
#include "common/text.h"
#include "startup/launch_at_login.h"

namespace vlvpn {
namespace {

std::filesystem::path AutostartFolder() {
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr) {
    if (std::filesystem::path folder(config); folder.is_absolute()) return folder / "autostart";
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return {};
  return std::filesystem::path(home) / ".config" / "autostart";
}

class AutostartFile : public LoginEntry {
 public:
  explicit AutostartFile(std::filesystem::path executable) : executable_(std::move(executable)) {}

  void Write(bool enabled) override {
    const std::filesystem::path folder = AutostartFolder();
    if (folder.empty()) return;
    std::error_code error;
    if (!enabled) {
      std::filesystem::remove(folder / kFile, error);
      return;
    }
    std::filesystem::create_directories(folder, error);
    RemoveStaleTemporaryFiles(folder, std::chrono::seconds(60));  // of writes a crash cut short
    try {
      WriteFileAtomically(folder / kFile, AutostartEntry(PathToUtf8(executable_)));
    } catch (const std::exception&) {
      // Present() reports what is really there.
    }
  }

  bool Present() override {
    const std::filesystem::path folder = AutostartFolder();
    return !folder.empty() && IsRegularFile(folder / kFile);
  }

 private:
  static constexpr const char* kFile = "VelunorVPN.desktop";
  std::filesystem::path executable_;
};

}  // namespace

std::unique_ptr<LoginEntry> SystemLoginEntry(const std::filesystem::path& executable) {
  return std::make_unique<AutostartFile>(executable);
}

std::unique_ptr<StartupTask> PackagedStartupTask() { return nullptr; }

}  // namespace vlvpn
