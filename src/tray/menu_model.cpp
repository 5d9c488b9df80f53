#include "tray/menu_model.h"

#include <cstdint>

#include "common/text.h"

namespace vlvpn {
namespace {

std::optional<std::uint32_t> Hex4(std::string_view text, std::size_t at) {
  if (at + 4 > text.size()) return std::nullopt;
  std::uint32_t value = 0;
  for (std::size_t i = at; i < at + 4; ++i) {
    const char c = text[i];
    value <<= 4;
    if (c >= '0' && c <= '9') {
      value |= static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      value |= static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      value |= static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
  }
  return value;
}

bool IsHighSurrogate(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Decodes a JSON string body starting at `at` (just after its opening quote); nullopt
// when no closing quote follows.
std::optional<std::string> DecodeString(std::string_view text, std::size_t at) {
  std::string out;
  std::size_t i = at;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '"') return out;
    if (c != '\\' || i + 1 >= text.size()) {
      out += c;
      ++i;
      continue;
    }
    const char escaped = text[i + 1];
    i += 2;
    switch (escaped) {
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case '/': out += '/'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        const auto unit = Hex4(text, i);
        if (!unit) {  // not an escape after all: keep the text as written
          out += "\\u";
          break;
        }
        i += 4;
        std::uint32_t code_point = *unit;
        if (IsHighSurrogate(code_point)) {
          const auto low = text.substr(i, 2) == "\\u" ? Hex4(text, i + 2) : std::nullopt;
          if (low && IsLowSurrogate(*low)) {
            code_point = 0x10000 + ((code_point - 0xD800) << 10) + (*low - 0xDC00);
            i += 6;
          } else {
            code_point = 0xFFFD;
          }
        } else if (IsLowSurrogate(code_point)) {
          code_point = 0xFFFD;
        }
        AppendUtf8(out, static_cast<char32_t>(code_point));
        break;
      }
      default:
        out += '\\';
        out += escaped;
    }
  }
  return std::nullopt;
}

}  // namespace

std::string JsonStringValue(std::string_view text, std::string_view key) {
  const std::string pattern = "\"" + std::string(key) + "\":\"";
  const std::size_t found = text.find(pattern);
  if (found == std::string_view::npos) return {};
  std::string value = DecodeString(text, found + pattern.size()).value_or(std::string());
  // The notification area takes NUL-terminated text.
  if (const std::size_t nul = value.find('\0'); nul != std::string::npos) value.resize(nul);
  // Raw bytes that are not UTF-8 become replacement characters, as escapes do.
  if (!IsValidUtf8(value)) value = Utf16ToUtf8(Utf8ToUtf16(value));
  return value;
}

TrayMenuModel ParseMenuData(std::string_view data) {
  TrayMenuModel model;
  model.connected = data.find("\"connected\":true") != std::string_view::npos;
  model.server_label = JsonStringValue(data, "serverLabel");

  const std::size_t key = data.find("\"dedicated\"");
  if (key == std::string_view::npos) return model;
  const std::size_t open = data.find('[', key);
  if (open == std::string_view::npos) return model;
  const std::size_t close = data.find(']', open);
  if (close == std::string_view::npos) return model;
  const std::string_view array = data.substr(open, close - open + 1);

  std::size_t at = 0;
  while (true) {
    const std::size_t begin = array.find('{', at);
    if (begin == std::string_view::npos) break;
    const std::size_t end = array.find('}', begin);
    if (end == std::string_view::npos) break;
    const std::string_view object = array.substr(begin, end - begin + 1);
    std::string id = JsonStringValue(object, "id");
    if (!id.empty()) {
      std::string label = JsonStringValue(object, "label");
      if (label.empty()) label = id;
      model.dedicated_servers.push_back({std::move(id), std::move(label)});
    }
    at = end + 1;
  }
  return model;
}

std::string CutToUtf16Units(std::string_view text, std::size_t units) {
  std::size_t used = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    const std::size_t cost = length == 4 ? 2 : 1;
    if (used + cost > units) break;
    used += cost;
    i += length;
  }
  return std::string(text.substr(0, std::min(i, text.size())));
}

std::vector<MenuEntry> PopupMenu(const TrayMenuModel& model) {
  using Kind = MenuEntry::Kind;
  const MenuEntry separator{Kind::kSeparator, "", 0, false, {}};
  std::string status = model.connected ? "Connected" : "Not connected";
  if (model.connected && !model.server_label.empty()) status += ": " + model.server_label;

  std::vector<MenuEntry> menu;
  menu.push_back({Kind::kItem, std::move(status), kCommandStatus, true, {}});
  menu.push_back(separator);
  menu.push_back({Kind::kItem, "Quick Connect", kCommandQuickConnect, model.connected, {}});
  if (model.connected) menu.push_back({Kind::kItem, "Disconnect", kCommandDisconnect, false, {}});
  menu.push_back(separator);

  MenuEntry servers{Kind::kSubmenu, "Dedicated Servers", 0, model.dedicated_servers.empty(), {}};
  for (std::size_t i = 0; i < model.dedicated_servers.size(); ++i) {
    servers.children.push_back({Kind::kItem, model.dedicated_servers[i].label,
                                kCommandFirstDedicated + static_cast<unsigned>(i), model.connected, {}});
  }
  if (servers.children.empty()) servers.children.push_back({Kind::kItem, "None available", 0, true, {}});
  menu.push_back(std::move(servers));
  menu.push_back(separator);
  menu.push_back({Kind::kItem, "Open Velunor VPN", kCommandOpenApp, false, {}});
  menu.push_back(separator);
  menu.push_back({Kind::kItem, "Exit Velunor VPN", kCommandExit, false, {}});
  return menu;
}

std::string Tooltip(const TrayMenuModel& model) {
  std::string tip = model.connected ? "Velunor VPN - Connected" : "Velunor VPN - Disconnected";
  if (model.connected && !model.server_label.empty()) tip += " (" + model.server_label + ")";
  return CutToUtf16Units(tip, 127);
}

TrayNotice NoticeFor(const TrayMenuModel& model) {
  if (!model.connected) return {};
  return {"Velunor VPN is still connected",
          model.server_label.empty() ? "Your VPN tunnel remains active in the background."
                                     : "Protected via " + model.server_label + "."};
}

TrayNotice CutForBalloon(const TrayNotice& notice) {
  return {CutToUtf16Units(notice.title, 63), CutToUtf16Units(notice.text, 255)};
}

std::optional<MenuAction> ActionForCommand(unsigned command, const TrayMenuModel& model) {
  using Kind = MenuAction::Kind;
  switch (command) {
    case kCommandQuickConnect: return MenuAction{Kind::kQuickConnect, {}};
    case kCommandDisconnect: return MenuAction{Kind::kDisconnect, {}};
    case kCommandOpenApp: return MenuAction{Kind::kOpenApp, {}};
    case kCommandExit: return MenuAction{Kind::kExit, {}};
    default: break;
  }
  if (command >= kCommandFirstDedicated && command - kCommandFirstDedicated < model.dedicated_servers.size()) {
    return MenuAction{Kind::kConnectDedicated, model.dedicated_servers[command - kCommandFirstDedicated].id};
  }
  return std::nullopt;
}

std::string_view ActionName(MenuAction::Kind kind) {
  switch (kind) {
    case MenuAction::Kind::kQuickConnect: return "quickConnect";
    case MenuAction::Kind::kDisconnect: return "disconnect";
    case MenuAction::Kind::kOpenApp: return "openApp";
    case MenuAction::Kind::kConnectDedicated: return "connectDedicated";
    case MenuAction::Kind::kExit: break;
  }
  return {};
}

}  // namespace vlvpn
