#pragma once

#include <functional>

namespace vlvpn::fakes {

using Serve = std::function<void(const std::function<bool()>& keep_going)>;

// Runs `serve` as a Windows service (under the service control manager) until the
// manager stops it; elsewhere there is no such manager and this serves directly.
int RunAsService(const Serve& serve);

}  // namespace vlvpn::fakes
