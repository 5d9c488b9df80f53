// The depth bound: counted without parsing, never less than the depth of what the
// parser builds (a repeated key can drop a deeper value), so nothing deeper than the
// bound is ever built.
#include "common/value.h"
#include "fuzz_check.h"

namespace {

// Recursive, as printing and comparing a value are: the input's length bounds the depth.
std::size_t DepthOf(const vlvpn::Value& value) {
  if (!value.is_structured()) return 0;
  std::size_t deepest = 0;
  for (const auto& child : value) deepest = std::max(deepest, DepthOf(child));
  return deepest + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::size_t counted = vlvpn::JsonNestingDepth(text);
  const vlvpn::Value parsed = vlvpn::ParseJson(text);
  if (!parsed.is_discarded()) {
    FUZZ_CHECK(DepthOf(parsed) <= counted);
    FUZZ_CHECK(counted <= vlvpn::kMaxJsonDepth);
    FUZZ_CHECK(vlvpn::ParseJson(vlvpn::DumpLine(parsed)) == parsed);
  }
  return 0;
}
