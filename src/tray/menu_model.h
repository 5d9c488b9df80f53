#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vlvpn {

// The tray's picture of the connection, as the interface last described it.
struct DedicatedServerItem {
  std::string id;     // never empty
  std::string label;  // UTF-8; the id when the interface gave no label
  bool operator==(const DedicatedServerItem&) const = default;
};

struct TrayMenuModel {
  bool connected = false;
  std::string server_label;  // UTF-8
  std::vector<DedicatedServerItem> dedicated_servers;
  bool operator==(const TrayMenuModel&) const = default;
};

// The interface's menu data is JSON, but only a few exact text searches matter: the
// `"connected":true` spelling, and the string values of "serverLabel" and of "id" and
// "label" inside the objects of the "dedicated" array. String values are decoded as
// JSON strings (escapes included) and end at their first NUL.
TrayMenuModel ParseMenuData(std::string_view data);

// The string value of `key` in `text` ("key":"value", no blanks), decoded; empty when
// the key is missing or the value never ends.
std::string JsonStringValue(std::string_view text, std::string_view key);

// The longest prefix of UTF-8 `text` that fits in `units` UTF-16 code units; a
// character never loses half of its surrogate pair.
std::string CutToUtf16Units(std::string_view text, std::size_t units);

// Menu command ids of the popup menu.
inline constexpr unsigned kCommandStatus = 0;
inline constexpr unsigned kCommandQuickConnect = 2001;
inline constexpr unsigned kCommandDisconnect = 2002;
inline constexpr unsigned kCommandOpenApp = 2003;
inline constexpr unsigned kCommandExit = 2004;
inline constexpr unsigned kCommandFirstDedicated = 3000;

struct MenuEntry {
  enum class Kind { kItem, kSeparator, kSubmenu };
  Kind kind = Kind::kItem;
  std::string label;  // UTF-8
  unsigned command = 0;
  bool greyed = false;
  std::vector<MenuEntry> children;  // of a submenu
  bool operator==(const MenuEntry&) const = default;
};

// The popup menu, top to bottom.
std::vector<MenuEntry> PopupMenu(const TrayMenuModel& model);

// The icon's tooltip, already cut to what the notification area holds.
std::string Tooltip(const TrayMenuModel& model);

// The "still connected" balloon; both texts empty when not connected.
struct TrayNotice {
  std::string title;
  std::string text;
  bool operator==(const TrayNotice&) const = default;
};
TrayNotice NoticeFor(const TrayMenuModel& model);
// The balloon's texts cut to what the notification area holds (63 and 255 units).
TrayNotice CutForBalloon(const TrayNotice& notice);

// What a chosen menu command asks for. kExit ends the process; the others go to the
// interface as "menuBarAction".
struct MenuAction {
  enum class Kind { kQuickConnect, kDisconnect, kOpenApp, kConnectDedicated, kExit };
  Kind kind;
  std::string server_id;  // only with kConnectDedicated
  bool operator==(const MenuAction&) const = default;
};
std::optional<MenuAction> ActionForCommand(unsigned command, const TrayMenuModel& model);

// "quickConnect", "disconnect", "openApp", "connectDedicated"; empty for kExit.
std::string_view ActionName(MenuAction::Kind kind);

}  // namespace vlvpn
