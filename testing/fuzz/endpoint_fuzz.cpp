// The server a profile names, for the kill switch: any configuration text is read,
// and the command built from it stays one line of the service's protocol.
#include "fuzz_check.h"
#include "killswitch/kill_switch.h"
#include "killswitch/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view config(reinterpret_cast<const char*>(data), size);
  const vlvpn::ServerEndpoint endpoint = vlvpn::ExtractEndpoint(config);
  FUZZ_CHECK(endpoint.port >= 0);
  FUZZ_CHECK(endpoint.host.find_first_of("\r\n") == std::string::npos);
  FUZZ_CHECK(endpoint.protocol.find_first_of("\r\n") == std::string::npos);
  vlvpn::KillSwitchFacts facts;
  facts.protocol = endpoint.protocol;
  facts.port = endpoint.port;
  facts.addresses = endpoint.host;
  const std::string command = vlvpn::kill_switch_protocol::EnableCommand(facts, 1, "/opt/velunor/VLVPNDesk");
  FUZZ_CHECK(command.find_first_of("\r\n") == std::string::npos);
  return 0;
}
