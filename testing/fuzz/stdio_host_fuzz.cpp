// The bridge end to end: any bytes on the interface's side of the stdio host, through
// the dispatcher and the handlers, with the storage in a folder of its own. Every
// line written back is one JSON object, and every call is answered exactly once.
//
// Only methods that stay inside that folder are called: nothing here may start
// OpenVPN, kill a program, open a browser or a dialog, or touch the network.
#include <set>
#include <sstream>

#include "app/stdio_host.h"
#include "fuzz_check.h"
#include "killswitch/pipe_client.h"
#include "support/temp_folder.h"

namespace {

const std::set<std::string>& CallableMethods() {
  static const std::set<std::string> methods = {
      "saveOvpnProfile",   "saveOvpnProfileMeta", "listSavedOvpnProfiles", "deleteOvpnProfile",
      "saveOvpnAuth",      "readOvpnAuth",        "getStatus",             "writeUserDefaults",
      "readUserDefaults",  "readKeychainItem",    "writeKeychainItem",     "deleteKeychainItem",
      "updateMenuBarMenu", "setMenuBarVisible",   "wasLaunchedAtStartup",  "getTrafficStats",
      "getBuildConstants", "getDeviceMarketingName"};
  return methods;
}

// A method of ours that is not on the list above; unknown names are fine to call.
bool Forbidden(const vlvpn::Value& request, const vlvpn::Value& described) {
  if (!request.is_object()) return false;
  const auto method = request.find("method");
  if (method == request.end() || !method->is_string()) return false;
  const std::string name = method->get<std::string>();
  if (CallableMethods().contains(name)) return false;
  for (const auto& [module, spec] : described.items()) {
    for (const auto& entry : spec.value("methods", vlvpn::Value::array())) {
      if (entry.is_string() && entry == name) return true;
    }
  }
  return false;
}

struct Host {
  vlvpn::testing::TempFolder root;
  // Each input starts from empty storage, so an input behaves the same whenever it runs
  // and profiles saved by earlier inputs never pile up.
  int generation = 0;
  std::ostringstream out;
  std::shared_ptr<vlvpn::ModuleServices> services;
  std::unique_ptr<vlvpn::StdioHost> host;
  vlvpn::Value described;

  std::filesystem::path Data() const { return root.path() / std::to_string(generation); }

  void StartAfresh() {
    std::error_code ignored;
    std::filesystem::remove_all(Data(), ignored);
    ++generation;
  }

  Host() {
    auto client = std::make_shared<vlvpn::KillSwitchClient>(
        vlvpn::KillSwitchEndpoint{(root.path() / "no-service.sock").string(), "none"}, [] { return false; });
    vlvpn::TunnelEnvironment environment = vlvpn::SystemTunnelEnvironment(client);
    environment.locate_openvpn = [] { return std::filesystem::path(); };
    environment.find_openvpn_process = [](std::uint16_t) { return std::uint32_t{0}; };
    environment.management_port = 1;  // nothing of anyone's listens there
    services = std::make_shared<vlvpn::ModuleServices>(vlvpn::DataLocations([this] { return Data(); }),
                                                       std::move(environment));
    host = std::make_unique<vlvpn::StdioHost>(std::make_shared<vlvpn::LineWriter>(out), services);
    described = vlvpn::Value::parse(out.str())["hello"]["modules"];
    out.str("");
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Host session;
  session.StartAfresh();
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::size_t requests = 0;
  std::istringstream lines(bytes);
  for (std::string line; std::getline(lines, line);) {
    if (Forbidden(vlvpn::ParseJson(line), session.described)) continue;
    if (line.find_first_not_of(" \t\r") != std::string::npos) ++requests;
    session.host->Serve(line);
  }
  session.host->WaitUntilSettled();

  // Every call has settled, so nothing writes while the answers are read.
  std::istringstream written(session.out.str());
  session.out.str("");
  std::size_t answers = 0;
  for (std::string line; std::getline(written, line);) {
    const vlvpn::Value message = vlvpn::ParseJson(line);
    FUZZ_CHECK(message.is_object());
    if (message.contains("event")) continue;
    FUZZ_CHECK(message.contains("id"));  // a void method settles with the id alone
    ++answers;
  }
  FUZZ_CHECK(answers == requests);
  return 0;
}
