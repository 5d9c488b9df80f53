#include "tray/menu_model.h"

#include <gtest/gtest.h>

#include "tray/tray.h"

namespace vlvpn {
namespace {

using Item = DedicatedServerItem;

TEST(TrayMenu, MenuDataParsing) {
  const std::pair<const char*, TrayMenuModel> cases[] = {
      {"", {}},
      {R"({"connected":true,"serverLabel":"Zurich"})", {true, "Zurich", {}}},
      {R"({"connected": true})", {false, "", {}}},  // that exact spelling only
      {R"({"connected":false,"dedicated":[{"id":"a","label":"Alpha"},{"id":"b"}]})",
       {false, "", {Item{"a", "Alpha"}, Item{"b", "b"}}}},
      {R"({"dedicated":[{"label":"x"},{"id":"","label":"y"},{"id":"c"}]})", {false, "", {Item{"c", "c"}}}},
      {R"({"dedicated":[{"id":"a","x":{"y":[1]},"label":"late"},{"id":"b"}]})",
       {false, "", {Item{"a", "late"}, Item{"b", "b"}}}},
      // A label is the user's text: nothing in it ends the array or the object.
      {R"({"serverLabel":"dedicated","dedicated" : [{"id":"f","label":"Frankfurt [P2P]"},)"
       R"({"id":"z","label":"Zurich }, {\"id\":\"evil\"} ]"},{"id":"k","label":"a:b,c"}]})",
       {false,
        "dedicated",
        {Item{"f", "Frankfurt [P2P]"}, Item{"z", R"(Zurich }, {"id":"evil"} ])"}, Item{"k", "a:b,c"}}}},
      {R"({"dedicated":{"id":"a"}})", {}},
      // Escapes are decoded rather than cutting the text at an escaped quote.
      {R"({"dedicated":[{"id":"q","label":"The \"Best\" \\ one"}]})", {false, "", {Item{"q", R"(The "Best" \ one)"}}}},
      {R"({"connected":true,"serverLabel":"Z\u00fcrich \ud83c\uddf8"})", {true, "Z\xC3\xBCrich \xF0\x9F\x87\xB8", {}}},
      {R"({"serverLabel":"a\ud800b"})", {false, "a\uFFFDb", {}}},
      {R"({"serverLabel":"ab\u0000cd"})", {false, "ab", {}}},
      {"{\"dedicated\":[{\"id\":\"\xA4!\"}]}", {false, "", {{"\uFFFD!", "\uFFFD!"}}}},
      {R"({"serverLabel":"never ends)", {}},  // an unterminated value is empty
  };
  for (const auto& [data, model] : cases) EXPECT_EQ(ParseMenuData(data), model) << data;
}

TEST(TrayMenu, ConnectedAndDisconnectedMenus) {
  using K = MenuEntry::Kind;
  const MenuEntry separator{K::kSeparator, "", 0, false, {}};
  const TrayMenuModel connected{true, "Zurich", {Item{"a", "Alpha"}}};
  EXPECT_EQ(PopupMenu(connected),
            (std::vector<MenuEntry>{
                {K::kItem, "Connected: Zurich", 0, true, {}},
                separator,
                {K::kItem, "Quick Connect", 2001, true, {}},
                {K::kItem, "Disconnect", 2002, false, {}},
                separator,
                {K::kSubmenu, "Dedicated Servers", 0, false, {{K::kItem, "Alpha", 3000, true, {}}}},
                separator,
                {K::kItem, "Open Velunor VPN", 2003, false, {}},
                separator,
                {K::kItem, "Exit Velunor VPN", 2004, false, {}},
            }));

  const auto idle = PopupMenu({});
  ASSERT_EQ(idle.size(), 9u) << "no Disconnect while not connected";
  EXPECT_EQ(idle[0].label, "Not connected");
  EXPECT_FALSE(idle[2].greyed);
  EXPECT_EQ(idle[4],
            (MenuEntry{K::kSubmenu, "Dedicated Servers", 0, true, {{K::kItem, "None available", 0, true, {}}}}));
  EXPECT_EQ(PopupMenu({true, "", {}})[0].label, "Connected");
}

TEST(TrayMenu, TooltipNoticeAndCuts) {
  EXPECT_EQ(Tooltip({}), "Velunor VPN - Disconnected");
  EXPECT_EQ(Tooltip({false, "Zurich", {}}), "Velunor VPN - Disconnected");
  EXPECT_EQ(Tooltip({true, "", {}}), "Velunor VPN - Connected");
  EXPECT_EQ(Tooltip({true, "Zurich", {}}), "Velunor VPN - Connected (Zurich)");
  EXPECT_EQ(Tooltip({true, std::string(200, 'x'), {}}).size(), 127u);

  EXPECT_EQ(NoticeFor({}), TrayNotice{});
  EXPECT_EQ(NoticeFor({true, "", {}}),
            (TrayNotice{"Velunor VPN is still connected", "Your VPN tunnel remains active in the background."}));
  EXPECT_EQ(NoticeFor({true, "Zurich", {}}).text, "Protected via Zurich.");
  const TrayNotice cut = CutForBalloon({std::string(100, 't'), std::string(300, 'x')});
  EXPECT_EQ(cut.title.size(), 63u);
  EXPECT_EQ(cut.text.size(), 255u);

  // Units are UTF-16: a four-byte character costs two and is never split.
  const std::string flag = "\xF0\x9F\x87\xB8";
  EXPECT_EQ(CutToUtf16Units("ab" + flag, 3), "ab");
  EXPECT_EQ(CutToUtf16Units("ab" + flag, 4), "ab" + flag);
  EXPECT_EQ(CutToUtf16Units("\xC3\xBC\xC3\xBC", 1), "\xC3\xBC");
}

TEST(TrayMenu, ResumeReportedOnceForBothCodes) {
  ResumeFilter filter(std::chrono::seconds(5));
  const auto t0 = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
  EXPECT_TRUE(filter.Accept(t0));
  EXPECT_FALSE(filter.Accept(t0 + std::chrono::milliseconds(300)));
  EXPECT_TRUE(filter.Accept(t0 + std::chrono::seconds(6)));
}

TEST(TrayMenu, PresenceWithoutIconKeepsTheModelAndRaisesMenuActions) {
  TrayPresence tray(TrayOptions{});
  std::vector<MenuAction> actions;
  int shown = 0;
  tray.SetEvents({[&](const MenuAction& action) { actions.push_back(action); }, [&] { ++shown; }, nullptr});
  tray.UpdateMenuData(R"({"connected":true,"dedicated":[{"id":"a"}]})");
  tray.UpdateMenuData(R"({"connected":false,"dedicated":[{"id":"b"},{"id":"c","label":"Beta"}]})");
  EXPECT_EQ(tray.Model(), (TrayMenuModel{false, "", {Item{"b", "b"}, Item{"c", "Beta"}}}))
      << "a second update replaces the whole model";

  using K = MenuAction::Kind;
  const std::pair<unsigned, std::optional<MenuAction>> commands[] = {
      {2001, MenuAction{K::kQuickConnect, ""}},
      {2002, MenuAction{K::kDisconnect, ""}},
      {2003, MenuAction{K::kOpenApp, ""}},
      {2004, MenuAction{K::kExit, ""}},
      {3001, MenuAction{K::kConnectDedicated, "c"}},
      {3002, std::nullopt},  // past the list
      {0, std::nullopt},     // dismissed
  };
  for (const auto& [command, action] : commands) EXPECT_EQ(tray.Choose(command), action) << command;
  EXPECT_EQ(actions.size(), 4u) << "exit is not an interface action";
  EXPECT_EQ(shown, 0) << "no host window to show";
  EXPECT_FALSE(tray.ShowMainWindow());
}

}  // namespace
}  // namespace vlvpn
