#pragma once

#include <filesystem>

namespace vlvpn::testing {

// A fresh folder under the system's temporary folder, removed with everything in it
// when the object goes. Tests keep all their files in one of these.
class TempFolder {
 public:
  TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder();

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace vlvpn::testing
