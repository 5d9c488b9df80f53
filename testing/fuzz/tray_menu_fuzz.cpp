// The interface's menu data, any bytes: the model, the menu, the tooltip and the
// balloon all come out as valid text within their Windows limits.
#include "common/text.h"
#include "fuzz_check.h"
#include "tray/menu_model.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const vlvpn::TrayMenuModel model = vlvpn::ParseMenuData(text);
  for (const auto& server : model.dedicated_servers) FUZZ_CHECK(!server.id.empty());
  for (const vlvpn::MenuEntry& entry : vlvpn::PopupMenu(model)) {
    FUZZ_CHECK(vlvpn::IsValidUtf8(entry.label));
    for (const vlvpn::MenuEntry& child : entry.children) FUZZ_CHECK(vlvpn::IsValidUtf8(child.label));
  }
  const std::string tooltip = vlvpn::Tooltip(model);
  FUZZ_CHECK(vlvpn::Utf8ToUtf16(tooltip).size() <= 127);
  const vlvpn::TrayNotice balloon = vlvpn::CutForBalloon(vlvpn::NoticeFor(model));
  FUZZ_CHECK(vlvpn::Utf8ToUtf16(balloon.title).size() <= 63);
  FUZZ_CHECK(vlvpn::Utf8ToUtf16(balloon.text).size() <= 255);
  for (unsigned command : {0u, 2001u, 2002u, 2003u, 2004u, 3000u, 3001u, 3050u}) {
    if (const auto action = vlvpn::ActionForCommand(command, model)) (void)vlvpn::ActionName(action->kind);
  }
  return 0;
}
