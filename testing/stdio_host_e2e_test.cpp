// Drives the real VLVPNDesk executable over its stdio protocol, as the interface does.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/text.h"
#include "common/value.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

namespace fs = std::filesystem;

class StdioHostEndToEnd : public ::testing::Test {
 protected:
  Value Next() {
    const auto line = desk_.ReadLine();
    if (!line) {
      ADD_FAILURE() << "no line from VLVPNDesk";
      return nullptr;
    }
    EXPECT_EQ(line->find('\r'), std::string::npos) << "lines end in a single line feed";
    return Value::parse(*line);
  }
  Value Call(int id, const std::string& method, Value args) {
    const Value request = {
        {"id", id}, {"module", "VLVPNTunnel"}, {"method", method}, {"args", std::move(args)}};
    EXPECT_TRUE(desk_.Write(DumpLine(request) + "\n"));
    return Next();
  }

  testing::TempFolder home_;
  // The data root goes to the test folder by the platform's own means on Linux, and by
  // the explicit override on Windows, where the shell's folder cannot be redirected.
  testing::ChildProcess desk_{testing::SiblingProgram("VLVPNDesk"),
                              {"--stdio"},
                              {{"XDG_DATA_HOME", PathToUtf8(home_.path())},
#ifdef _WIN32
                               {"VLVPN_DATA_ROOT", PathToUtf8(home_.path())}
#endif
                              }};
};

TEST_F(StdioHostEndToEnd, ProfileRoundTripMalformedInputAndEndOfInput) {
  const Value hello = Next();
  ASSERT_TRUE(hello.contains("hello"));
  EXPECT_EQ(hello["hello"]["modules"]["VLVPNTunnel"]["methods"].size(), 35u);
  EXPECT_EQ(hello["hello"]["modules"]["VLVPNBuildConfig"]["constants"]["appDisplayName"], "Velunor VPN");

  const std::string id = "Z\xC3\xBCrich 1";
  const fs::path folder = home_.path() / "VLVPNDesk" / "profiles" / PathFromUtf8(id);
  const std::string config = "client\r\nremote 127.0.0.1 1194\n";
  const Value saved = Call(1, "saveOvpnProfile", {id, config, "server.ovpn", ""});
  EXPECT_EQ(
      saved,
      (Value{{"id", 1},
             {"result", {{"configPath", PathToUtf8(folder / "server.ovpn")}, {"fileName", "server.ovpn"}}}}));
  EXPECT_EQ(fs::file_size(folder / "server.ovpn"), config.size()) << "stored byte for byte";

  EXPECT_EQ(Call(2, "saveOvpnProfileMeta", {id, R"({"name":"Home"})"}), (Value{{"id", 2}}));
  EXPECT_EQ(Call(3, "listSavedOvpnProfiles", Value::array())["result"],
            Value::parse(R"([{"_raw":"{\"name\":\"Home\"}"}])"));
  EXPECT_EQ(Call(4, "saveOvpnAuth", {id, "alice", "pw"}), (Value{{"id", 4}}));
  EXPECT_EQ(Call(5, "readOvpnAuth", {id})["result"], (Value{{"username", "alice"}, {"password", "pw"}}));

  ASSERT_TRUE(desk_.Write("this is not json\n"));
  const Value malformed = Next();
  EXPECT_TRUE(malformed["id"].is_null());
  EXPECT_EQ(malformed["error"]["code"], "EUNSPECIFIED");

  EXPECT_EQ(Call(6, "deleteOvpnProfile", {".."})["error"]["message"],
            "Invalid profile id: \".\" and \"..\" are not allowed.");
  EXPECT_TRUE(fs::exists(folder)) << "a refused delete removes nothing";
  EXPECT_EQ(Call(7, "deleteOvpnProfile", {id}), (Value{{"id", 7}}));
  EXPECT_FALSE(fs::exists(folder));

  ASSERT_TRUE(desk_.Write(R"({"id":8,"module":"VLVPNTunnel","method":"readUserDefaults","args":["theme"]})"
                          "\n"));
  desk_.CloseInput();
  EXPECT_EQ(Next(), (Value{{"id", 8}, {"result", ""}})) << "a call pending at end of input still settles";
  EXPECT_EQ(desk_.WaitForExit(), 0);
}

}  // namespace
}  // namespace vlvpn
