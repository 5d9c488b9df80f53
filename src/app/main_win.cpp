#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "app/stdio_host.h"

int wmain(int argc, wchar_t** argv) {
  bool stdio = false;
  for (int i = 1; i < argc; ++i) stdio = stdio || std::wcscmp(argv[i], L"--stdio") == 0;
  if (!stdio) {
    std::fwprintf(stderr, L"VLVPNDesk: the window host is not built yet; run with --stdio.\n");
    return 2;
  }
  // The protocol is UTF-8 lines ending in a single line feed, both ways.
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  // Every call has settled and its line is out; workers may still be
  // finishing, and must not race the destruction of process-wide state.
  std::_Exit(vlvpn::RunStdioHostOnStandardStreams());
}
