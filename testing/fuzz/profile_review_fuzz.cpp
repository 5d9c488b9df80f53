// Profiles a user hands to the kill-switch service, which starts OpenVPN on what it
// renders from them: whatever the text, a profile it accepts renders (with its copies)
// into one that reads back as the same directives, naming exactly those copies, and
// that passes review again, so nothing outside the allow-list is ever written.
#include "fuzz_check.h"
#include "service/openvpn_policy.h"
#include "service/profile_syntax.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vlvpn::service;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const ParsedProfile parsed = ParseProfile(text);
  if (parsed.error.empty()) {
    // Reading is canonical on its own: what it read renders and reads back the same.
    if (const std::optional<std::string> rendered = RenderProfile(parsed.directives)) {
      const ParsedProfile again = ParseProfile(*rendered);
      FUZZ_CHECK(again.error.empty());
      FUZZ_CHECK(again.directives == parsed.directives);
    }
  }
  const ReviewedProfile profile = ReviewProfile(text);
  if (!profile.error.empty()) {
    FUZZ_CHECK(profile.error.starts_with("Refused: "));
    return 0;
  }
  std::vector<std::string> copies;
  std::vector<Directive> expected = profile.directives;
  for (std::size_t i = 0; i < profile.files.size(); ++i) {
    copies.push_back("/run/vlvpn/openvpn/file-" + std::to_string(i));
    const NamedFile& file = profile.files[i];
    Directive& directive = expected[file.directive];
    (file.inner == static_cast<std::size_t>(-1) ? directive : directive.block[file.inner]).args[file.arg] = copies[i];
  }
  const std::optional<std::string> rendered = RenderReviewedProfile(profile, copies);
  if (!rendered) return 0;
  const ParsedProfile read_back = ParseProfile(*rendered);
  FUZZ_CHECK(read_back.error.empty());
  FUZZ_CHECK(read_back.directives == expected);
  const ReviewedProfile again = ReviewProfile(*rendered);
  FUZZ_CHECK(again.error.empty());
  FUZZ_CHECK(again.directives == expected);
  FUZZ_CHECK(again.files.size() == copies.size());
  for (std::size_t i = 0; i < copies.size(); ++i) FUZZ_CHECK(again.files[i].path == copies[i]);
  return 0;
}
