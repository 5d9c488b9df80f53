#pragma once

#include <functional>

#include "modules/promise.h"

namespace vlvpn {

// Runs blocking work on a thread of its own that owns a copy of the promise; the
// caller goes on at once. An exception the work throws rejects the promise with its
// text instead of ending the process; a thread that cannot be started rejects at once.
void RunOnWorker(Promise promise, std::function<void(const Promise&)> work);

}  // namespace vlvpn
