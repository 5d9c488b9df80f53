#include "app/stdio_host.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <tuple>

#include "support/temp_folder.h"

namespace vlvpn {
namespace {

using ::testing::HasSubstr;

// One request line (without its end).
std::string Call(const Value& id, const std::string& method, const Value& args,
                 const std::string& module = "VLVPNTunnel") {
  return DumpLine(Value{{"id", id}, {"module", module}, {"method", method}, {"args", args}});
}

class StdioHostTest : public ::testing::Test {
 protected:
  // Runs the host over the given input and returns every line it wrote, parsed.
  std::vector<Value> Run(const std::string& input) {
    std::istringstream in(input);
    EXPECT_EQ(RunStdioHost(in, out_, services_), 0);
    return Written();
  }
  std::vector<Value> Written() const {
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

TEST_F(StdioHostTest, HelloFirstThenEventsAsLines) {
  Run("");
  services_->events.EmitMenuBarAction(MenuBarActionPayload("quickConnect", ""));
  services_->events.EmitAppWindowDidShow();
  const auto lines = Written();
  ASSERT_EQ(lines.size(), 3u);
  const Value& modules = lines[0]["hello"]["modules"];
  EXPECT_EQ(modules["VLVPNTunnel"]["events"].size(), 3u);
  EXPECT_EQ(modules["VLVPNBuildConfig"]["constants"]["appDisplayName"], "Velunor VPN");
  EXPECT_EQ(DumpLine(lines[1]), R"({"event":"menuBarAction","body":{"action":"quickConnect"}})");
  EXPECT_EQ(DumpLine(lines[2]), R"({"event":"appWindowDidShow"})");
}

TEST_F(StdioHostTest, AClosedWriterWritesNothingMore) {
  auto writer = std::make_shared<LineWriter>(out_);
  writer->Write(Value{{"event", "first"}});
  writer->Close();
  writer->Write(Value{{"event", "late"}});
  std::istringstream in(Call(1, "readUserDefaults", {"x"}) + "\n");
  EXPECT_EQ(RunStdioHost(in, writer, services_), 0) << "calls still settle, unheard";
  EXPECT_EQ(out_.str(), "{\"event\":\"first\"}\n");
}

// End of input: a sign-in still waiting for the browser ends at once (cancelled), not
// after the browser's three minutes.
TEST_F(StdioHostTest, EndOfInputEndsAPendingSignIn) {
  services_->sign_in = std::make_unique<LoopbackReceiver>(LoopbackOptions{kFirstLoopbackPort, std::chrono::seconds(180),
                                                                          std::chrono::seconds(10),
                                                                          [](const std::string&) { return true; }});
  const auto started = std::chrono::steady_clock::now();
  const auto lines = Run(Call(1, "beginLoopback", Value::array(), "VLVPNAuthSession") + "\n" +
                         Call(2, "awaitLoopbackCallback", {"https://sign-in.example/authorize"}, "VLVPNAuthSession"));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2]["id"], 2);
  EXPECT_TRUE(lines[2].contains("error")) << lines[2].dump();
}

std::string Nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// Every line but a blank one is answered once, with the caller's id where it can be
// read; no line ends the host.
TEST_F(StdioHostTest, OneAnswerPerLineMalformedOnesNeverFatal) {
  const std::string deep = Nested(50000);
  // Malformed: the line, the id and the message answered.
  const std::tuple<std::string, Value, std::string> malformed[] = {
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
  // Served: the line, the answer. A value stored as invalid UTF-8 is answered with
  // replacement characters.
  std::filesystem::create_directories(root_.path() / "VLVPNDesk" / "prefs");
  std::ofstream(root_.path() / "VLVPNDesk" / "prefs" / "k", std::ios::binary) << "bad\xFF";
  const std::pair<std::string, std::string> served[] = {
      {Call(1, "writeUserDefaults", {"theme", "dark"}), R"({"id":1})"},
      {Call("two", "readUserDefaults", {"theme"}) + "\r", R"({"id":"two","result":"dark"})"},
      {Call(3.5, "readOvpnAuth", {"nobody"}),
       R"({"id":3.5,"error":{"code":"EUNSPECIFIED","message":"Auth file not found","userInfo":null}})"},
      {R"({"module":"VLVPNTunnel","method":"readUserDefaults","args":[]})", R"({"id":null,"result":""})"},
      {R"({"id":11,"module":"VLVPNTunnel","method":"readUserDefaults","args":"not a list"})",
       R"({"id":11,"result":""})"},
      // The deepest nesting taken (256 with the request object): the call is made.
      {Call(14, "readUserDefaults", Value::parse("[" + Nested(254) + "]")), R"({"id":14,"result":""})"},
      {Call(15, "readUserDefaults", {"k"}), "{\"id\":15,\"result\":\"bad\xEF\xBF\xBD\"}"},
  };
  std::string input = " \r\n";  // a blank line: no answer
  for (const auto& [line, id, message] : malformed) input += line + "\n";
  for (const auto& [line, answer] : served) input += line + "\n";
  const auto lines = Run(input);
  ASSERT_EQ(lines.size(), 1 + std::size(malformed) + std::size(served));
  std::size_t at = 1;
  for (const auto& [line, id, message] : malformed) {
    EXPECT_EQ(lines[at]["id"], id) << line;
    EXPECT_THAT(lines[at++]["error"]["message"].get<std::string>(), HasSubstr(message)) << line;
  }
  for (const auto& [line, answer] : served) EXPECT_EQ(DumpLine(lines[at++]), answer) << line;
}

}  // namespace
}  // namespace vlvpn
