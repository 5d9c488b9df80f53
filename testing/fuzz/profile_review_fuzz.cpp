// Profiles a user hands to the kill-switch service, which runs OpenVPN as root on them:
// whatever the text, a profile it accepts and rewrites with its copies reviews again
// the same, naming exactly those copies and nothing else, in lines OpenVPN reads whole.
#include "fuzz_check.h"
#include "service/openvpn_policy.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const vlvpn::service::ReviewedProfile profile = vlvpn::service::ReviewProfile(text);
  if (!profile.error.empty()) {
    FUZZ_CHECK(profile.error.starts_with("Refused: "));
    return 0;
  }
  std::vector<std::string> copies;
  for (std::size_t i = 0; i < profile.files.size(); ++i) copies.push_back("/run/vlvpn/openvpn/file-" + std::to_string(i));
  const std::optional<std::string> rewritten = vlvpn::service::RewriteProfile(profile, copies);
  if (!rewritten) return 0;
  const vlvpn::service::ReviewedProfile again = vlvpn::service::ReviewProfile(*rewritten);
  FUZZ_CHECK(again.error.empty());
  FUZZ_CHECK(again.files.size() == copies.size());
  for (std::size_t i = 0; i < copies.size(); ++i) FUZZ_CHECK(again.files[i].path == copies[i]);
  return 0;
}
