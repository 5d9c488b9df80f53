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

constexpr std::size_t kNone = std::string_view::npos;

// Just past the JSON string whose opening quote is at `at`; kNone when it never ends.
std::size_t SkipString(std::string_view text, std::size_t at) {
  for (std::size_t i = at + 1; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      return i + 1;
    }
  }
  return kNone;
}

// The bracket that closes the one at `open`, brackets inside strings not counted.
std::size_t MatchingClose(std::string_view text, std::size_t open) {
  int depth = 0;
  for (std::size_t i = open; i < text.size();) {
    const char c = text[i];
    if (c == '"') {
      i = SkipString(text, i);
      if (i == kNone) return kNone;
      continue;
    }
    if (c == '[' || c == '{') ++depth;
    if ((c == ']' || c == '}') && --depth == 0) return i;
    ++i;
  }
  return kNone;
}

// The "[" of the array that the key "dedicated" names: a string that is the whole key,
// followed by ":" and "[" (blanks allowed), never the same text inside a value.
std::size_t DedicatedArray(std::string_view text) {
  constexpr std::string_view kKey = "\"dedicated\"";
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] != '"') {
      ++i;
      continue;
    }
    const std::size_t end = SkipString(text, i);
    if (end == kNone) return kNone;
    if (text.substr(i, end - i) == kKey) {
      std::size_t next = text.find_first_not_of(" \t\r\n", end);
      if (next != kNone && text[next] == ':') {
        next = text.find_first_not_of(" \t\r\n", next + 1);
        return next != kNone && text[next] == '[' ? next : kNone;
      }
    }
    i = end;
  }
  return kNone;
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

  // Labels are the user's text: brackets, braces, commas and quotes in them are data.
  const std::size_t open = DedicatedArray(data);
  if (open == kNone) return model;
  const std::size_t close = MatchingClose(data, open);
  if (close == kNone) return model;
  for (std::size_t at = open + 1; at < close;) {
    if (data[at] == '"') {
      at = SkipString(data, at);
      if (at == kNone) break;
      continue;
    }
    if (data[at] != '{') {
      ++at;
      continue;
    }
    const std::size_t end = MatchingClose(data, at);
    if (end == kNone || end > close) break;
    const std::string_view object = data.substr(at, end - at + 1);
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
