// The kill-switch service's replies: a pid is a pid only when the whole reply says so.
#include "common/text.h"
#include "fuzz_check.h"
#include "killswitch/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace protocol = vlvpn::kill_switch_protocol;
  const std::string_view reply(reinterpret_cast<const char*>(data), size);
  const protocol::OpenVpnStatus status = protocol::ParseStatusReply(reply);
  FUZZ_CHECK(!(status.running && status.stopped));
  if (const auto pid = protocol::ParseProcessId(reply)) {
    FUZZ_CHECK(!reply.empty() && reply.find_first_not_of("0123456789") == std::string_view::npos);
    FUZZ_CHECK(vlvpn::ParseDecimal(reply, 0xFFFFFFFFu) == *pid);
  }
  return 0;
}
