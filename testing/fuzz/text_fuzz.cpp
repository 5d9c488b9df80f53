// UTF-8 <-> UTF-16: valid text round-trips exactly, anything else converts without
// failing and comes out valid.
#include <cstring>

#include "common/text.h"
#include "fuzz_check.h"
#include "tray/menu_model.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::u16string wide = vlvpn::Utf8ToUtf16(bytes);
  const std::string back = vlvpn::Utf16ToUtf8(wide);
  FUZZ_CHECK(vlvpn::IsValidUtf8(back));
  if (vlvpn::IsValidUtf8(bytes)) FUZZ_CHECK(back == bytes);
  FUZZ_CHECK(vlvpn::Utf8ToUtf16(back) == wide);

  // The same bytes read as UTF-16 units (lone surrogates included).
  std::u16string units(size / 2, u'\0');
  if (!units.empty()) std::memcpy(units.data(), data, units.size() * 2);
  const std::string from_units = vlvpn::Utf16ToUtf8(units);
  FUZZ_CHECK(vlvpn::IsValidUtf8(from_units));

  for (const std::size_t limit : {std::size_t{0}, std::size_t{1}, std::size_t{63}, std::size_t{127}}) {
    const std::string cut = vlvpn::CutToUtf16Units(back, limit);
    FUZZ_CHECK(vlvpn::Utf8ToUtf16(cut).size() <= limit);
    FUZZ_CHECK(back.starts_with(cut));
    FUZZ_CHECK(vlvpn::IsValidUtf8(cut));
  }
  (void)vlvpn::StripCrBeforeLf(bytes);
  (void)vlvpn::ParseDecimal(bytes, 65535);
  return 0;
}
