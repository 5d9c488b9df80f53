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

TEST_F(StdioHostEndToEnd, ProfileRoundTripAndEndOfInput) {
  ASSERT_TRUE(Next().contains("hello"));  // its contents: stdio_host_test

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

  EXPECT_EQ(Call(7, "deleteOvpnProfile", {id}), (Value{{"id", 7}}));
  EXPECT_FALSE(fs::exists(folder));

  ASSERT_TRUE(desk_.Write(R"({"id":8,"module":"VLVPNTunnel","method":"readUserDefaults","args":["theme"]})"
                          "\n"));
  desk_.CloseInput();
  EXPECT_EQ(Next(), (Value{{"id", 8}, {"result", ""}})) << "a call pending at end of input still settles";
  EXPECT_EQ(desk_.WaitForExit(), 0);
}

// Launch at login and the file pickers, through the bridge as the interface uses them.
class DesktopMethodsOverStdio : public ::testing::Test {
 protected:
  DesktopMethodsOverStdio() {
#ifndef _WIN32
    // A dialog stand-in first on PATH: records its arguments, answers from a file.
    fs::create_directories(bin_);
    const fs::path zenity = bin_ / "zenity";
    WriteFileAtomically(zenity, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + PathToUtf8(home_.path() / "args") +
                                    "'\n[ -s '" + PathToUtf8(answer_) + "' ] || exit 1\ncat '" +
                                    PathToUtf8(answer_) + "'\n");
    ::chmod(zenity.c_str(), 0755);
    // The browser stand-in records the one argument it was given.
    const fs::path browser = bin_ / "xdg-open";
    WriteFileAtomically(browser, "#!/bin/sh\nprintf '%s|%s\\n' \"$#\" \"$1\" >> '" +
                                     PathToUtf8(home_.path() / "browsed") + "'\n");
    ::chmod(browser.c_str(), 0755);
#endif
    // Started as the login entry starts it: the interface under --stdio learns that too.
    desk_ = std::make_unique<testing::ChildProcess>(
        testing::SiblingProgram("VLVPNDesk"), std::vector<std::string>{"--stdio", "--startup"},
        testing::ChildProcess::Environment{
            {"XDG_DATA_HOME", PathToUtf8(home_.path())},
            {"VLVPN_DATA_ROOT", PathToUtf8(home_.path())},
            {"XDG_CONFIG_HOME", PathToUtf8(home_.path() / "config")},
#ifndef _WIN32
            {"PATH", PathToUtf8(bin_) + ":" + std::getenv("PATH")},
#endif
        });
    const auto hello = desk_->ReadLine();
    EXPECT_TRUE(hello && Contains(*hello, "\"hello\""));
  }

  Value Call(const std::string& method, Value args = Value::array(), const std::string& module = "VLVPNTunnel") {
    const Value request = {{"id", ++id_}, {"module", module}, {"method", method}, {"args", std::move(args)}};
    EXPECT_TRUE(desk_->Write(DumpLine(request) + "\n"));
    const auto line = desk_->ReadLine();
    if (!line) return nullptr;
    const Value answer = Value::parse(*line);
    return answer.contains("result") ? answer["result"] : answer;
  }

  testing::TempFolder home_;
  fs::path bin_ = home_.path() / "bin";
  fs::path answer_ = home_.path() / "answer";
  std::unique_ptr<testing::ChildProcess> desk_;
  int id_ = 0;
};

// Asked to close programs by its own name, the host closes every other copy and
// survives to answer.
TEST(ClosingAppsOverStdio, TheHostNeverEndsItself) {
  testing::TempFolder folder;
  const fs::path desk_program = testing::SiblingProgram("VLVPNDesk");
  const std::string name =
      "vlvpn-desk-" + std::to_string(std::random_device{}()) + desk_program.extension().string();
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

TEST_F(DesktopMethodsOverStdio, LaunchAtLoginIsStoredQuotedReadBackAndRemoved) {
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
}

#ifndef _WIN32
// Browser sign-in end to end: the system browser is handed the address, the redirect
// comes back over real HTTP.
TEST_F(DesktopMethodsOverStdio, SignInOpensTheBrowserAndTakesTheRedirect) {
  const Value opened = Call("beginLoopback", Value::array(), "VLVPNAuthSession");
  ASSERT_TRUE(opened.contains("port")) << opened;
  const auto port = opened["port"].get<std::uint16_t>();
  EXPECT_EQ(opened["redirectUri"], "http://127.0.0.1:" + std::to_string(port) + "/oauth2redirect");

  const std::string authorize = "https://accounts.example/o/oauth2/v2/auth?client_id=a b&redirect_uri=x";
  const Value request = {{"id", 99}, {"module", "VLVPNAuthSession"}, {"method", "awaitLoopbackCallback"},
                         {"args", {authorize}}};
  ASSERT_TRUE(desk_->Write(DumpLine(request) + "\n"));
  // The stand-in browser writes its line while we look: wait for the whole of it.
  for (int i = 0; i < 500 && !ReadFileBytes(home_.path() / "browsed").value_or("").ends_with("\n"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(ReadFileBytes(home_.path() / "browsed"), "1|" + authorize + "\n");

  const TcpSocket browser = TcpSocket::Connect(port, std::chrono::seconds(5));
  ASSERT_TRUE(browser.SendAll("GET /oauth2redirect?code=4%2F0Ab&scope=email HTTP/1.1\r\nHost: x\r\n\r\n"));
  std::string page;
  while (browser.Receive(page, std::chrono::seconds(10)) == TcpSocket::Received::kData) {
  }
  EXPECT_THAT(page, ::testing::HasSubstr("<h2>Signed in</h2>"));
  const auto line = desk_->ReadLine();
  ASSERT_TRUE(line);
  EXPECT_EQ(Value::parse(*line),
            (Value{{"id", 99},
                   {"result", {{"callbackUrl", "http://127.0.0.1:" + std::to_string(port) +
                                                   "/oauth2redirect?code=4%2F0Ab&scope=email"}}}}));
  EXPECT_EQ(Call("cancelLoopback", Value::array(), "VLVPNAuthSession"), true);
}
#endif

#ifdef _WIN32
// The open-file dialog with the real common dialog: its title, a typed choice, cancel.
TEST_F(DesktopMethodsOverStdio, PickersUseTheOpenFileDialog) {
  const fs::path profile = home_.path() / "home.ovpn";
  WriteFileAtomically(profile, "\xEF\xBB\xBF" "client\r\n");
  const auto answer = [this](const wchar_t* title, const std::optional<fs::path>& choice) {
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
  const auto pick = [this](const std::string& method) {
    const Value request = {{"id", ++id_}, {"module", "VLVPNTunnel"}, {"method", method}, {"args", Value::array()}};
    EXPECT_TRUE(desk_->Write(DumpLine(request) + "\n"));
  };
  const auto settled = [this] {
    const auto line = desk_->ReadLine(std::chrono::seconds(20));
    return line ? Value::parse(*line).value("result", Value()) : Value();
  };

  pick("pickOvpnFile");
  ASSERT_TRUE(answer(L"Import OpenVPN Profile (.ovpn)", profile));
  EXPECT_EQ(settled(), (Value{{"fileName", "home.ovpn"},
                              {"content", "client\r\n"},
                              {"sourceDirectory", PathToUtf8(profile.parent_path())}}));
  pick("pickApp");
  ASSERT_TRUE(answer(L"Choose an app to close when the VPN drops", std::nullopt));
  EXPECT_EQ(settled(), Value::object());
}
#else
TEST_F(DesktopMethodsOverStdio, PickersTakeTheDialogsChoice) {
  const fs::path profile = home_.path() / "in" / "home.ovpn";
  fs::create_directories(profile.parent_path());
  WriteFileAtomically(profile, "\xEF\xBB\xBF" "client\r\n");
  WriteFileAtomically(answer_, PathToUtf8(profile) + "\n");
  EXPECT_EQ(Call("pickOvpnFile"), (Value{{"fileName", "home.ovpn"},
                                         {"content", "client\r\n"},
                                         {"sourceDirectory", PathToUtf8(profile.parent_path())}}));
  EXPECT_THAT(ReadFileBytes(home_.path() / "args").value_or(""),
              ::testing::HasSubstr("--title=Import OpenVPN Profile (.ovpn)"));

  WriteFileAtomically(answer_, "/usr/bin/fire.fox\n");
  EXPECT_EQ(Call("pickApp"), (Value{{"bundleId", "fire.fox"}, {"name", "fire"}, {"path", "/usr/bin/fire.fox"},
                                    {"color", "#1d8fef"}}));

  fs::remove(answer_);  // cancelled
  EXPECT_EQ(Call("pickOvpnFile"), Value::object());
  EXPECT_EQ(Call("pickApp"), Value::object());
}
#endif

}  // namespace
}  // namespace vlvpn
