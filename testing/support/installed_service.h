#pragma once

#include <string>

#include "common/unique_handle_win.h"

namespace vlvpn::testing {

// A program registered with the Windows service control manager for a test's
// lifetime (demand start, own process); stopped and deleted when the object goes.
class InstalledService {
 public:
  // `command_line` is the whole line the manager runs, program first, quoted as needed.
  InstalledService(const std::string& name, const std::string& command_line);
  InstalledService(const InstalledService&) = delete;
  InstalledService& operator=(const InstalledService&) = delete;
  ~InstalledService();

  bool installed() const { return service_.valid(); }
  // The manager's error when the service could not be created or started.
  unsigned long error() const { return error_; }
  bool Start();

 private:
  UniqueServiceHandle manager_;
  UniqueServiceHandle service_;
  unsigned long error_ = 0;
};

}  // namespace vlvpn::testing
