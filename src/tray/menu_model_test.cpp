#include "tray/menu_model.h"

#include <gtest/gtest.h>

#include "tray/tray.h"

namespace vlvpn {
namespace {

using Item = DedicatedServerItem;

struct ParseCase {
  const char* name;
  const char* data;
  TrayMenuModel expected;
};

// Test names stay the same from one run to the next.
void PrintTo(const ParseCase& c, std::ostream* out) { *out << c.name; }

class MenuDataParsing : public ::testing::TestWithParam<ParseCase> {};

TEST_P(MenuDataParsing, Model) { EXPECT_EQ(ParseMenuData(GetParam().data), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Cases, MenuDataParsing,
    ::testing::Values(
        ParseCase{"Empty", "", {}},
        ParseCase{"Connected", R"({"connected":true,"serverLabel":"Zurich"})", {true, "Zurich", {}}},
        ParseCase{"BlankBeforeTrueIsNotConnected", R"({"connected": true})", {false, "", {}}},
        ParseCase{"TwoServersSecondWithoutLabel",
                  R"({"connected":false,"dedicated":[{"id":"a","label":"Alpha"},{"id":"b"}]})",
                  {false, "", {Item{"a", "Alpha"}, Item{"b", "b"}}}},
        ParseCase{"ObjectWithoutIdOrEmptyIdSkipped", R"({"dedicated":[{"label":"x"},{"id":"","label":"y"},{"id":"c"}]})",
                  {false, "", {Item{"c", "c"}}}},
        ParseCase{"NestedObjectStaysWhole", R"({"dedicated":[{"id":"a","x":{"y":[1]},"label":"late"},{"id":"b"}]})",
                  {false, "", {Item{"a", "late"}, Item{"b", "b"}}}},
        // A label is the user's text: nothing in it ends the array or the object.
        ParseCase{"BracketsBracesCommasInLabels",
                  R"({"serverLabel":"dedicated","dedicated" : [{"id":"f","label":"Frankfurt [P2P]"},)"
                  R"({"id":"z","label":"Zurich }, {\"id\":\"evil\"} ]"},{"id":"k","label":"a:b,c"}]})",
                  {false, "dedicated", {Item{"f", "Frankfurt [P2P]"}, Item{"z", R"(Zurich }, {"id":"evil"} ])"},
                                        Item{"k", "a:b,c"}}}},
        ParseCase{"NoArrayAfterDedicated", R"({"dedicated":{"id":"a"}})", {}},
        // Escapes are decoded rather than cutting the text at an escaped quote.
        ParseCase{"EscapedQuoteAndBackslash", R"({"dedicated":[{"id":"q","label":"The \"Best\" \\ one"}]})",
                  {false, "", {Item{"q", R"(The "Best" \ one)"}}}},
        ParseCase{"UnicodeEscapesAndSurrogatePair", R"({"connected":true,"serverLabel":"Z\u00fcrich \ud83c\uddf8"})",
                  {true, "Z\xC3\xBCrich \xF0\x9F\x87\xB8", {}}},
        ParseCase{"LoneSurrogateBecomesReplacement", R"({"serverLabel":"a\ud800b"})", {false, "a\xEF\xBF\xBD" "b", {}}},
        ParseCase{"NulEndsTheText", R"({"serverLabel":"ab\u0000cd"})", {false, "ab", {}}},
        ParseCase{"RawBytesThatAreNotUtf8AreReplaced", "{\"dedicated\":[{\"id\":\"\xA4" "2\"}]}",
                  {false, "", {{"\xEF\xBF\xBD" "2", "\xEF\xBF\xBD" "2"}}}},
        ParseCase{"UnterminatedValueIsEmpty", R"({"serverLabel":"never ends)", {}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

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
  EXPECT_EQ(idle[4], (MenuEntry{K::kSubmenu, "Dedicated Servers", 0, true, {{K::kItem, "None available", 0, true, {}}}}));
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

TEST(TrayMenu, CommandsBecomeActions) {
  using K = MenuAction::Kind;
  const TrayMenuModel model{false, "", {Item{"a", "Alpha"}, Item{"b", "Beta"}}};
  EXPECT_EQ(ActionForCommand(2001, model), (MenuAction{K::kQuickConnect, ""}));
  EXPECT_EQ(ActionForCommand(2002, model), (MenuAction{K::kDisconnect, ""}));
  EXPECT_EQ(ActionForCommand(2003, model), (MenuAction{K::kOpenApp, ""}));
  EXPECT_EQ(ActionForCommand(2004, model), (MenuAction{K::kExit, ""}));
  EXPECT_EQ(ActionForCommand(3001, model), (MenuAction{K::kConnectDedicated, "b"}));
  EXPECT_EQ(ActionForCommand(3002, model), std::nullopt) << "past the list";
  EXPECT_EQ(ActionForCommand(0, model), std::nullopt) << "dismissed";
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
  tray.UpdateMenuData(R"({"connected":false,"dedicated":[{"id":"b"}]})");
  EXPECT_EQ(tray.Model(), (TrayMenuModel{false, "", {Item{"b", "b"}}})) << "a second update replaces the whole model";

  EXPECT_EQ(tray.Choose(3000), (MenuAction{MenuAction::Kind::kConnectDedicated, "b"}));
  EXPECT_EQ(tray.Choose(2003), (MenuAction{MenuAction::Kind::kOpenApp, ""}));
  EXPECT_EQ(tray.Choose(2004), (MenuAction{MenuAction::Kind::kExit, ""}));
  EXPECT_EQ(actions.size(), 2u) << "exit is not an interface action";
  EXPECT_EQ(shown, 0) << "no host window to show";
  EXPECT_FALSE(tray.ShowMainWindow());
}

}  // namespace
}  // namespace vlvpn
