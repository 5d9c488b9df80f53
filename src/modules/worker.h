#pragma once

#include <functional>

#include "modules/promise.h"

namespace vlvpn {

// Runs blocking work on a detached thread that owns a copy of the promise. An
// exception the work throws rejects the promise with its text instead of ending
// the process; a thread that cannot be started rejects at once.
void RunDetached(Promise promise, std::function<void(const Promise&)> work);

}  // namespace vlvpn
