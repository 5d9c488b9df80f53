// The servers a profile names, for the kill switch: any configuration text is read,
// the facts allow a port in 1-65535 or any, and the command built from them stays one
// line of the service's protocol.
#include "fuzz_check.h"
#include "killswitch/kill_switch.h"
#include "killswitch/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view config(reinterpret_cast<const char*>(data), size);
  const vlvpn::ServerEndpoint endpoint = vlvpn::ExtractEndpoint(config);
  FUZZ_CHECK(endpoint.port >= 0 && endpoint.port <= 65535);
  FUZZ_CHECK(endpoint.protocol.empty() || endpoint.protocol == "udp" || endpoint.protocol == "tcp");
  FUZZ_CHECK(endpoint.hosts.empty() == (endpoint.port == 0 && endpoint.protocol.empty()) || !endpoint.hosts.empty());
  vlvpn::KillSwitchFacts facts;
  facts.protocol = endpoint.protocol;
  facts.port = endpoint.port;
  for (const std::string& host : endpoint.hosts) {
    FUZZ_CHECK(!host.empty() && host.find_first_of("\r\n \t") == std::string::npos);
    facts.addresses += (facts.addresses.empty() ? "" : ",") + host;
  }
  const std::string command = vlvpn::kill_switch_protocol::EnableCommand(facts, 1, "/opt/velunor/VLVPNDesk");
  FUZZ_CHECK(command.find_first_of("\r\n") == std::string::npos);
  return 0;
}
