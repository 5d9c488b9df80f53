#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/bundle_host.h"
#include "app/single_instance.h"
#include "app/stdio_host.h"
#include "common/process_path.h"
#include "startup/launch_at_login.h"

namespace vlvpn {
namespace {

// No window or tray here: the process hosts the interface bundle and keeps the
// session's single instance; it ends when the interface ends.
int RunDesktop(int argc, char** argv) {
  std::string command_line;
  for (int i = 0; i < argc; ++i) command_line += std::string(i == 0 ? "" : " ") + argv[i];

  DesktopShell shell;
  shell.launched_at_startup = CommandLineAsksForStartup(command_line);
  std::shared_ptr<ModuleServices> services;
  try {
    services = std::make_shared<ModuleServices>(DataLocations(), ModuleServices::DefaultTunnelEnvironment(), shell);
    services->locations.RemoveCrashLeftovers();  // writes a crash cut short
  } catch (const std::exception& e) {
    std::fprintf(stderr, "VLVPNDesk: %s\n", e.what());
    return 1;
  }
  // A later copy asks us to come forward; the interface is our window here.
  auto instance = SingleInstance::Claim([services] { services->events.EmitAppWindowDidShow(); });
  if (!instance) return 0;

  BundleHost bundle(services, ExecutablePath().parent_path());
  if (!bundle.failure().empty()) {
    std::fprintf(stderr, "VLVPNDesk: %s Run with --stdio to serve another interface.\n", bundle.failure().c_str());
    return 1;
  }
  bundle.Wait();
  return 0;
}

}  // namespace
}  // namespace vlvpn

int main(int argc, char** argv) {
  // A reader that goes away must not kill us mid-settlement.
  std::signal(SIGPIPE, SIG_IGN);
  bool stdio = false;
  bool startup = false;
  for (int i = 1; i < argc; ++i) {
    stdio = stdio || std::strcmp(argv[i], "--stdio") == 0;
    startup = startup || std::strcmp(argv[i], vlvpn::kStartupSwitch.data()) == 0;
  }
  // Every call has settled and its line is out; workers may still be
  // finishing, and must not race the destruction of process-wide state.
  if (!stdio) std::_Exit(vlvpn::RunDesktop(argc, argv));
  std::_Exit(vlvpn::RunStdioHostOnStandardStreams(startup));
}
