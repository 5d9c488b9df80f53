#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/stdio_host.h"

int main(int argc, char** argv) {
  // A reader that goes away must not kill us mid-settlement.
  std::signal(SIGPIPE, SIG_IGN);
  bool stdio = false;
  for (int i = 1; i < argc; ++i) stdio = stdio || std::strcmp(argv[i], "--stdio") == 0;
  if (!stdio) {
    std::fprintf(stderr, "VLVPNDesk: no window host on this system; run with --stdio.\n");
    return 2;
  }
  // Every call has settled and its line is out; workers may still be
  // finishing, and must not race the destruction of process-wide state.
  std::_Exit(vlvpn::RunStdioHostOnStandardStreams());
}
