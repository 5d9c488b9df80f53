// The browser's request to the sign-in receiver, any bytes: the callback handed to the
// interface is on our own loopback address and one line.
#include "auth/loopback.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view request(reinterpret_cast<const char*>(data), size);
  const std::string url = vlvpn::CallbackUrl(request, 42813);
  if (!url.empty()) {
    FUZZ_CHECK(url.starts_with("http://127.0.0.1:42813"));
    FUZZ_CHECK(url.find_first_of("\r\n") == std::string::npos);
  }
  (void)vlvpn::IsWebAddress(request);
  return 0;
}
