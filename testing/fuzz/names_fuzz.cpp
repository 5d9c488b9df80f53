// A name that is accepted stays one entry inside its folder, whatever it holds.
#include "common/text.h"
#include "fuzz_check.h"
#include "storage/names.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  const std::filesystem::path folder = "/data/VLVPNDesk/profiles";
  if (!vlvpn::PlainNameProblem(name, "profile id")) {
    const std::filesystem::path inside = (folder / vlvpn::PathFromUtf8(name)).lexically_normal();
    FUZZ_CHECK(inside.parent_path() == folder);
    FUZZ_CHECK(vlvpn::PathToUtf8(inside.filename()) == name);
  }
  const std::string stored = vlvpn::PreferenceFileName(name);
  FUZZ_CHECK(!stored.empty());
  if (!vlvpn::PlainNameProblem(stored, "preference key")) {
    FUZZ_CHECK((folder / stored).lexically_normal().parent_path() == folder);
  }
  return 0;
}
