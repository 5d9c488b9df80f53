#include "support/temp_folder.h"

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <system_error>

namespace vlvpn::testing {

TempFolder::TempFolder() {
  static std::atomic<unsigned> counter{0};
  std::random_device seed;
  const auto base = std::filesystem::temp_directory_path();
  for (;;) {
    const std::string name = "vlvpn-test-" + std::to_string(seed()) + "-" + std::to_string(counter++);
    if (std::filesystem::create_directory(base / name)) {
      path_ = base / name;
      return;
    }
  }
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace vlvpn::testing
