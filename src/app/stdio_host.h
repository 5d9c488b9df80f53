#pragma once

#include <istream>
#include <memory>
#include <ostream>

#include "modules/velunor_modules.h"

namespace vlvpn {

// The line protocol that stands in for the React Native host: a hello line first,
// then one JSON request per input line, one settlement line per request (from any
// thread, never interleaved), and event lines. Returns the exit code once input
// has ended and every call has settled.
int RunStdioHost(std::istream& in, std::ostream& out, std::shared_ptr<ModuleServices> services);

// The process's own host: standard input and output, the user's data folder. Returns
// the exit code; a failure to start is reported on standard error.
int RunStdioHostOnStandardStreams();

}  // namespace vlvpn
