// Drives the real VLVPNDesk executable over its stdio protocol, as the interface does.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <thread>

#include "common/file_io.h"
#include "common/tcp_socket.h"
#include "common/text.h"
#include "common/value.h"
#include "startup/launch_at_login.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>

#include <cstdlib>
#endif

namespace vlvpn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class StdioHostEndToEnd : public ::testing::Test {
 protected:
  StdioHostEndToEnd() {
#ifndef _WIN32
    // A dialog stand-in first on PATH: records its arguments, answers from a file.
    fs::create_directories(bin_);
    const fs::path zenity = bin_ / "zenity";
    WriteFileAtomically(zenity, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + PathToUtf8(home_.path() / "args") +
                                    "'\n[ -s '" + PathToUtf8(answer_) + "' ] || exit 1\ncat '" + PathToUtf8(answer_) +
                                    "'\n");
    ::chmod(zenity.c_str(), 0755);
    // The browser stand-in records the one argument it was given.
    const fs::path browser = bin_ / "xdg-open";
    WriteFileAtomically(
        browser, "#!/bin/sh\nprintf '%s|%s\\n' \"$#\" \"$1\" >> '" + PathToUtf8(home_.path() / "browsed") + "'\n");
    ::chmod(browser.c_str(), 0755);
#endif
    // Started as the login entry starts it: the interface under --stdio learns that too.
    // The data root goes to the test folder by the platform's own means on Linux, and by
    // the explicit override on Windows, where the shell's folder cannot be redirected.
    testing::ChildProcess::Environment environment = {{"XDG_DATA_HOME", PathToUtf8(home_.path())},
                                                      {"XDG_CONFIG_HOME", PathToUtf8(home_.path() / "config")}};
#ifdef _WIN32
    environment.emplace_back("VLVPN_DATA_ROOT", PathToUtf8(home_.path()));
#else
    environment.emplace_back("PATH", PathToUtf8(bin_) + ":" + std::getenv("PATH"));
#endif
    desk_ = std::make_unique<testing::ChildProcess>(testing::SiblingProgram("VLVPNDesk"),
                                                    std::vector<std::string>{"--stdio", "--startup"}, environment);
    EXPECT_TRUE(Next().contains("hello"));  // its contents: stdio_host_test
  }

  Value Next(std::chrono::milliseconds timeout = 10s) {
    const auto line = desk_->ReadLine(timeout);
    if (!line) {
      ADD_FAILURE() << "no line from VLVPNDesk";
      return nullptr;
    }
    EXPECT_EQ(line->find('\r'), std::string::npos) << "lines end in a single line feed";
    return Value::parse(*line);
  }
  void Send(const std::string& method, Value args = Value::array(), const std::string& module = "VLVPNTunnel") {
    const Value request = {{"id", ++id_}, {"module", module}, {"method", method}, {"args", std::move(args)}};
    EXPECT_TRUE(desk_->Write(DumpLine(request) + "\n"));
  }
  // The call's result, or the whole answer when it has none.
  Value Call(const std::string& method, Value args = Value::array(), const std::string& module = "VLVPNTunnel") {
    Send(method, std::move(args), module);
    const Value answer = Next();
    return answer.contains("result") && answer.value("id", 0) == id_ ? answer["result"] : answer;
  }
  // A void call: settled with its own id alone.
  ::testing::AssertionResult Settles(const std::string& method, Value args) {
    Send(method, std::move(args));
    const Value answer = Next();
    if (answer == Value{{"id", id_}}) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << method << " answered " << answer;
  }

  testing::TempFolder home_;
  fs::path bin_ = home_.path() / "bin";
  fs::path answer_ = home_.path() / "answer";
  std::unique_ptr<testing::ChildProcess> desk_;
  int id_ = 0;
};

// One host as the interface uses it: profiles, launch at login, the file pickers, the
// browser sign-in, and the end of its input.
TEST_F(StdioHostEndToEnd, ServesTheInterfaceUntilItsInputEnds) {
  const std::string id = "Z\xC3\xBCrich 1";
  const fs::path folder = home_.path() / "VLVPNDesk" / "profiles" / PathFromUtf8(id);
  const std::string config = "client\r\nremote 127.0.0.1 1194\n";
  EXPECT_EQ(Call("saveOvpnProfile", {id, config, "server.ovpn", ""}),
            (Value{{"configPath", PathToUtf8(folder / "server.ovpn")}, {"fileName", "server.ovpn"}}));
  EXPECT_EQ(fs::file_size(folder / "server.ovpn"), config.size()) << "stored byte for byte";
  EXPECT_TRUE(Settles("saveOvpnProfileMeta", {id, R"({"name":"Home"})"}));
  EXPECT_EQ(Call("listSavedOvpnProfiles"), Value::parse(R"([{"_raw":"{\"name\":\"Home\"}"}])"));
  EXPECT_TRUE(Settles("saveOvpnAuth", {id, "alice", "pw"}));
  EXPECT_EQ(Call("readOvpnAuth", {id}), (Value{{"username", "alice"}, {"password", "pw"}}));
  EXPECT_TRUE(Settles("deleteOvpnProfile", {id}));
  EXPECT_FALSE(fs::exists(folder));

  const std::string exe = PathToUtf8(testing::SiblingProgram("VLVPNDesk"));
  EXPECT_EQ(Call("getLaunchAtLogin"), false);
  EXPECT_EQ(Call("setLaunchAtLogin", {true}), true);
  EXPECT_EQ(Call("getLaunchAtLogin"), true);
#ifdef _WIN32
  wchar_t data[1040] = {};
  DWORD size = sizeof(data);
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", L"VelunorVPN",
                         RRF_RT_REG_SZ, nullptr, data, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(WideToUtf8(data), "\"" + exe + "\" --startup");
#else
  const fs::path entry = home_.path() / "config" / "autostart" / "VelunorVPN.desktop";
  EXPECT_EQ(ReadFileBytes(entry), AutostartEntry(exe));
  EXPECT_EQ(fs::status(entry).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
#endif
  EXPECT_EQ(Call("setLaunchAtLogin", {false}), true);
  EXPECT_EQ(Call("setLaunchAtLogin", {false}), true) << "removing what is not there";
  EXPECT_EQ(Call("getLaunchAtLogin"), false);
  EXPECT_EQ(Call("wasLaunchedAtStartup"), true);

  const fs::path profile = home_.path() / "in" / "home.ovpn";
  fs::create_directories(profile.parent_path());
  WriteFileAtomically(profile, std::string("\xEF\xBB\xBF") + "client\r\n");
  const Value picked = {
      {"fileName", "home.ovpn"}, {"content", "client\r\n"}, {"sourceDirectory", PathToUtf8(profile.parent_path())}};
#ifdef _WIN32
  // The real common dialog: its title, a typed choice, cancel.
  const auto answer = [](const wchar_t* title, const std::optional<fs::path>& choice) {
    HWND dialog = nullptr;
    for (int i = 0; i < 1000 && dialog == nullptr; ++i) {
      dialog = FindWindowW(nullptr, title);
      if (dialog == nullptr) Sleep(10);
    }
    if (dialog == nullptr) return false;
    if (!choice) return PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0) != FALSE;
    // The file name box of an explorer-style dialog (cmb13), else its plain edit (edt1).
    HWND name = GetDlgItem(dialog, 0x47c);
    if (name == nullptr) name = GetDlgItem(dialog, 0x480);
    SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(choice->c_str()));
    return PostMessageW(dialog, WM_COMMAND, IDOK, 0) != FALSE;
  };
  Send("pickOvpnFile");
  ASSERT_TRUE(answer(L"Import OpenVPN Profile (.ovpn)", profile));
  EXPECT_EQ(Next(20s)["result"], picked);
  Send("pickApp");
  ASSERT_TRUE(answer(L"Choose an app to close when the VPN drops", std::nullopt));
  EXPECT_EQ(Next(20s)["result"], Value::object());
#else
  WriteFileAtomically(answer_, PathToUtf8(profile) + "\n");
  EXPECT_EQ(Call("pickOvpnFile"), picked);
  EXPECT_THAT(ReadFileBytes(home_.path() / "args").value_or(""),
              ::testing::HasSubstr("--title=Import OpenVPN Profile (.ovpn)"));
  WriteFileAtomically(answer_, "/usr/bin/fire.fox\n");
  EXPECT_EQ(Call("pickApp"),
            (Value{{"bundleId", "fire.fox"}, {"name", "fire"}, {"path", "/usr/bin/fire.fox"}, {"color", "#1d8fef"}}));
  fs::remove(answer_);  // cancelled
  EXPECT_EQ(Call("pickOvpnFile"), Value::object());
  EXPECT_EQ(Call("pickApp"), Value::object());

  // Browser sign-in: the system browser is handed the address, the redirect comes back
  // over real HTTP.
  const Value opened = Call("beginLoopback", Value::array(), "VLVPNAuthSession");
  ASSERT_TRUE(opened.contains("port")) << opened;
  const auto port = opened["port"].get<std::uint16_t>();
  EXPECT_EQ(opened["redirectUri"], "http://127.0.0.1:" + std::to_string(port) + "/oauth2redirect");
  const std::string authorize = "https://accounts.example/o/oauth2/v2/auth?client_id=a b&redirect_uri=x";
  Send("awaitLoopbackCallback", {authorize}, "VLVPNAuthSession");
  // The stand-in browser writes its line while we look: wait for the whole of it.
  for (int i = 0; i < 500 && !ReadFileBytes(home_.path() / "browsed").value_or("").ends_with("\n"); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(ReadFileBytes(home_.path() / "browsed"), "1|" + authorize + "\n");
  const TcpSocket browser = TcpSocket::Connect(port, 5s);
  ASSERT_TRUE(browser.SendAll("GET /oauth2redirect?code=4%2F0Ab&scope=email HTTP/1.1\r\nHost: x\r\n\r\n"));
  std::string page;
  while (browser.Receive(page, 10s) == TcpSocket::Received::kData) {
  }
  EXPECT_THAT(page, ::testing::HasSubstr("<h2>Signed in</h2>"));
  EXPECT_EQ(Next(), (Value{{"id", id_},
                           {"result",
                            {{"callbackUrl", "http://127.0.0.1:" + std::to_string(port) +
                                                 "/oauth2redirect?code=4%2F0Ab&scope=email"}}}}));
  EXPECT_EQ(Call("cancelLoopback", Value::array(), "VLVPNAuthSession"), true);
#endif

  Send("readUserDefaults", {"theme"});
  desk_->CloseInput();
  EXPECT_EQ(Next(), (Value{{"id", id_}, {"result", ""}})) << "a call pending at end of input still settles";
  EXPECT_EQ(desk_->WaitForExit(), 0);
}

// Asked to close programs by its own name, the host closes every other copy and
// survives to answer.
TEST(ClosingAppsOverStdio, TheHostNeverEndsItself) {
  testing::TempFolder folder;
  const fs::path desk_program = testing::SiblingProgram("VLVPNDesk");
  const std::string name = "vlvpn-desk-" + std::to_string(std::random_device{}()) + desk_program.extension().string();
  fs::copy_file(desk_program, folder.path() / name);
  const testing::ChildProcess::Environment environment = {{"VLVPN_DATA_ROOT", PathToUtf8(folder.path())},
                                                          {"XDG_DATA_HOME", PathToUtf8(folder.path())}};
  testing::ChildProcess other(folder.path() / name, {"--stdio"}, environment);
  testing::ChildProcess desk(folder.path() / name, {"--stdio"}, environment);
  ASSERT_TRUE(other.ReadLine() && desk.ReadLine());  // both said hello
  const Value request = {{"id", 1}, {"module", "VLVPNTunnel"}, {"method", "terminateApps"}, {"args", {{name}}}};
  ASSERT_TRUE(desk.Write(DumpLine(request) + "\n"));
  const auto answer = desk.ReadLine();
  ASSERT_TRUE(answer);
  EXPECT_EQ(Value::parse(*answer), (Value{{"id", 1}, {"result", {{"terminated", {name}}}}}));
  EXPECT_TRUE(other.WaitForExit().has_value());
  desk.CloseInput();
  EXPECT_EQ(desk.WaitForExit(), 0) << "still here to end normally";
}

}  // namespace
}  // namespace vlvpn
