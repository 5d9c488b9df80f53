// What OpenVPN's management interface sends, cut at any points: lines never grow past
// their cap, and only our state words come out.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.h"
#include "tunnel/management.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  vlvpn::StateReader reader;
  vlvpn::LineSplitter lines;
  while (input.remaining_bytes() > 0) {
    const std::string chunk = input.ConsumeRandomLengthString(4096);
    for (const std::string& word : reader.Feed(chunk)) {
      FUZZ_CHECK(word == "connected" || word == "connecting" || word == "disconnected");
    }
    lines.Append(chunk);
    while (const auto line = lines.Next()) {
      FUZZ_CHECK(line->size() <= vlvpn::LineSplitter::kMaxLine);
      if (const auto state = vlvpn::StateOfLine(*line)) {
        FUZZ_CHECK(state->empty() || *state == "connected" || *state == "connecting" || *state == "disconnected");
      }
    }
  }
  return 0;
}
