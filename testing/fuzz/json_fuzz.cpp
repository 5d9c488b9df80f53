// The depth bound: counted without parsing, never less than the depth of what the
// parser builds (a repeated key can drop a deeper value), so nothing deeper than the
// bound is ever built.
#include "common/value.h"
#include "fuzz_check.h"

namespace {

std::size_t DepthOf(const vlvpn::Value& value) {
  std::size_t deepest = 0;
  std::vector<std::pair<const vlvpn::Value*, std::size_t>> pending{{&value, 0}};
  while (!pending.empty()) {
    const auto [node, depth] = pending.back();
    pending.pop_back();
    if (!node->is_structured()) continue;
    deepest = std::max(deepest, depth + 1);
    for (const auto& child : *node) pending.emplace_back(&child, depth + 1);
  }
  return deepest;
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
