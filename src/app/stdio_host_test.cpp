#include "app/stdio_host.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/temp_folder.h"

namespace vlvpn {
namespace {

using ::testing::HasSubstr;

class StdioHostTest : public ::testing::Test {
 protected:
  // Runs the host over the given input and returns every line it wrote, parsed.
  std::vector<Value> Run(const std::string& input) {
    std::istringstream in(input);
    EXPECT_EQ(RunStdioHost(in, out_, services_), 0);
    std::vector<Value> lines;
    std::istringstream written(out_.str());
    for (std::string line; std::getline(written, line);) lines.push_back(Value::parse(line));
    return lines;
  }

  testing::TempFolder root_;
  std::shared_ptr<ModuleServices> services_ =
      std::make_shared<ModuleServices>(DataLocations([this] { return root_.path(); }));
  std::ostringstream out_;
};

TEST_F(StdioHostTest, HelloComesFirstAndListsEveryModule) {
  const auto lines = Run("");
  ASSERT_EQ(lines.size(), 1u);
  const Value& modules = lines[0]["hello"]["modules"];
  EXPECT_EQ(modules["VLVPNTunnel"]["methods"].size(), 35u);
  EXPECT_EQ(modules["VLVPNTunnel"]["events"].size(), 3u);
  EXPECT_EQ(modules["VLVPNAuthSession"]["methods"].size(), 3u);
  EXPECT_EQ(modules["VLVPNBuildConfig"]["constants"]["appDisplayName"], "Velunor VPN");
}

TEST_F(StdioHostTest, AClosedWriterWritesNothingMore) {
  auto writer = std::make_shared<LineWriter>(out_);
  writer->Write(Value{{"event", "first"}});
  writer->Close();
  writer->Write(Value{{"event", "late"}});
  std::istringstream in(R"({"id":1,"module":"VLVPNTunnel","method":"readUserDefaults","args":["x"]})" "\n");
  EXPECT_EQ(RunStdioHost(in, writer, services_), 0) << "calls still settle, unheard";
  EXPECT_EQ(out_.str(), "{\"event\":\"first\"}\n");
}

// End of input: a sign-in still waiting for the browser ends at once (cancelled), not
// after the browser's three minutes.
TEST_F(StdioHostTest, EndOfInputEndsAPendingSignIn) {
  services_->sign_in = std::make_unique<LoopbackReceiver>(
      LoopbackOptions{kFirstLoopbackPort, std::chrono::seconds(180), std::chrono::seconds(10),
                      [](const std::string&) { return true; }});
  const auto started = std::chrono::steady_clock::now();
  const auto lines = Run(R"({"id":1,"module":"VLVPNAuthSession","method":"beginLoopback","args":[]})" "\n"
                         R"({"id":2,"module":"VLVPNAuthSession","method":"awaitLoopbackCallback",)"
                         R"("args":["https://sign-in.example/authorize"]})" "\n");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2]["id"], 2);
  EXPECT_TRUE(lines[2].contains("error")) << lines[2].dump();
}

TEST_F(StdioHostTest, OneSettlementPerCallWithTheCallersId) {
  const auto lines =
      Run(R"({"id":1,"module":"VLVPNTunnel","method":"writeUserDefaults","args":["theme","dark"]})"
          "\n"
          R"({"id":"two","module":"VLVPNTunnel","method":"readUserDefaults","args":["theme"]})"
          "\r\n"
          "\n"
          R"({"id":3.5,"module":"VLVPNTunnel","method":"readOvpnAuth","args":["nobody"]})"
          "\n"
          R"({"module":"VLVPNTunnel","method":"readUserDefaults","args":[]})"
          "\n");
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(DumpLine(lines[1]), R"({"id":1})");
  EXPECT_EQ(DumpLine(lines[2]), R"({"id":"two","result":"dark"})");
  EXPECT_EQ(DumpLine(lines[3]),
            R"({"id":3.5,"error":{"code":"EUNSPECIFIED","message":"Auth file not found","userInfo":null}})");
  EXPECT_EQ(DumpLine(lines[4]), R"({"id":null,"result":""})");
}

struct Malformed {
  std::string line;
  Value id;
  std::string message;
};

std::string Nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST_F(StdioHostTest, MalformedLinesAreAnsweredAndNeverFatal) {
  const std::string deep = Nested(50000);
  const Malformed cases[] = {
      // Nesting beyond the bound: refused whole, the id echoed when it can be read.
      {R"({"id":12,"module":"VLVPNTunnel","method":"readUserDefaults","args":)" + deep + "}", 12, "one JSON object"},
      {R"({"args":[)" + deep + R"(],"id":"d","module":"VLVPNTunnel","method":"x"})", "d", "one JSON object"},
      {deep, nullptr, "one JSON object"},
      {R"({"id":13,"module":"VLVPNTunnel","method":"readUserDefaults","args":)" + Nested(256) + "}", 13,
       "one JSON object"},
      {"not json", nullptr, "one JSON object"},
      {"[1,2]", nullptr, "one JSON object"},
      {R"({"id":1,"module":"VLVPNTunnel")", nullptr, "one JSON object"},
      {"\"\xFF\"", nullptr, "one JSON object"},
      {R"({"id":{"x":1},"module":"VLVPNTunnel","method":"getStatus"})", nullptr, "\"id\" must be"},
      {R"({"id":7})", 7, "\"module\" and \"method\""},
      {R"({"id":8,"module":1,"method":"x"})", 8, "\"module\" and \"method\""},
  };
  std::string input;
  for (const auto& c : cases) input += c.line + "\n";
  input += R"({"id":11,"module":"VLVPNTunnel","method":"readUserDefaults","args":"not a list"})"
           "\n";
  // The deepest nesting taken (256 with the request object): the call is made.
  input += R"({"id":14,"module":"VLVPNTunnel","method":"readUserDefaults","args":[)" + Nested(254) + "]}\n";
  const auto lines = Run(input);
  ASSERT_EQ(lines.size(), std::size(cases) + 3);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Value& line = lines[i + 1];
    EXPECT_EQ(line["id"], cases[i].id) << cases[i].line;
    EXPECT_EQ(line["error"]["code"], "EUNSPECIFIED");
    EXPECT_THAT(line["error"]["message"].get<std::string>(), HasSubstr(cases[i].message)) << cases[i].line;
  }
  EXPECT_EQ(DumpLine(lines[std::size(cases) + 1]), R"({"id":11,"result":""})") << "the host keeps serving";
  EXPECT_EQ(DumpLine(lines.back()), R"({"id":14,"result":""})");
}

TEST_F(StdioHostTest, EventsAreWrittenAsLines) {
  Run("");
  services_->events.EmitMenuBarAction(MenuBarActionPayload("quickConnect", ""));
  services_->events.EmitAppWindowDidShow();
  std::istringstream written(out_.str());
  std::vector<std::string> lines;
  for (std::string line; std::getline(written, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], R"({"event":"menuBarAction","body":{"action":"quickConnect"}})");
  EXPECT_EQ(lines[2], R"({"event":"appWindowDidShow"})");
}

TEST_F(StdioHostTest, StoredInvalidUtf8IsReplacedNotFatal) {
  Run(R"({"id":1,"module":"VLVPNTunnel","method":"writeUserDefaults","args":["k","x"]})"
      "\n");
  std::ofstream(root_.path() / "VLVPNDesk" / "prefs" / "k", std::ios::binary) << "bad\xFF";
  out_.str("");
  const auto lines = Run(R"({"id":2,"module":"VLVPNTunnel","method":"readUserDefaults","args":["k"]})"
                         "\n");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1]["result"], "bad\xEF\xBF\xBD");
}

}  // namespace
}  // namespace vlvpn
