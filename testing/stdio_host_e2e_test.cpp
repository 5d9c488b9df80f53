// Drives the real VLVPNDesk executable over its stdio protocol, as the interface does.
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/temp_folder.h"

extern char** environ;

namespace vlvpn {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

// VLVPNDesk --stdio as a child with its data root in a test folder.
class Desk {
 public:
  explicit Desk(const fs::path& data_home) {
    int to_child[2], from_child[2];
    if (::pipe(to_child) != 0 || ::pipe(from_child) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
    posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
    for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) {
      posix_spawn_file_actions_addclose(&actions, fd);
    }
    std::vector<std::string> env_text = {"XDG_DATA_HOME=" + data_home.string(), "HOME=" + data_home.string(),
                                         "PATH=/usr/bin:/bin"};
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string(*e).rfind("ASAN_OPTIONS=", 0) == 0 || std::string(*e).rfind("TSAN_OPTIONS=", 0) == 0) {
        env_text.emplace_back(*e);
      }
    }
    std::vector<char*> env;
    for (auto& s : env_text) env.push_back(s.data());
    env.push_back(nullptr);
    std::string path = VLVPN_DESK_PATH, flag = "--stdio";
    char* argv[] = {path.data(), flag.data(), nullptr};
    const int rc = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, env.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(to_child[0]);
    ::close(from_child[1]);
    in_ = to_child[1];
    out_ = from_child[0];
    if (rc != 0) throw std::runtime_error("spawn failed");
  }
  Desk(const Desk&) = delete;
  Desk& operator=(const Desk&) = delete;
  ~Desk() {
    CloseInput();
    if (out_ >= 0) ::close(out_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  void Send(const std::string& line) {
    const std::string data = line + "\n";
    ASSERT_EQ(::write(in_, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  }
  // The next line, or "" after 10 s without one.
  std::string ReadLine() {
    for (;;) {
      if (const auto nl = buffer_.find('\n'); nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0) return "";
      char chunk[4096];
      const ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n <= 0) return "";
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }
  Json Call(const Json& request) {
    Send(request.dump());
    return Json::parse(ReadLine());
  }
  void CloseInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
  }
  // Exit status after input ends; -1 when it does not end within 10 s.
  int WaitForExit() {
    for (int i = 0; i < 1000; ++i) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      ::usleep(10000);
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffer_;
};

Json Request(int id, const std::string& method, Json args) {
  return {{"id", id}, {"module", "VLVPNTunnel"}, {"method", method}, {"args", std::move(args)}};
}

TEST(StdioHostEndToEnd, ProfileRoundTripMalformedInputAndEndOfInput) {
  vlvpn::testing::TempFolder home;
  Desk desk(home.path());

  const Json hello = Json::parse(desk.ReadLine());
  ASSERT_TRUE(hello.contains("hello"));
  EXPECT_EQ(hello["hello"]["modules"]["VLVPNTunnel"]["methods"].size(), 35u);

  const Json saved = desk.Call(Request(1, "saveOvpnProfile", {"p1", "client\nremote 127.0.0.1 1194\n", "server.ovpn", ""}));
  const fs::path config = home.path() / "VLVPNDesk" / "profiles" / "p1" / "server.ovpn";
  EXPECT_EQ(saved, (Json{{"id", 1}, {"result", {{"configPath", config.string()}, {"fileName", "server.ovpn"}}}}));
  EXPECT_TRUE(fs::is_regular_file(config));

  EXPECT_EQ(desk.Call(Request(2, "saveOvpnProfileMeta", {"p1", R"({"name":"Home"})"})), (Json{{"id", 2}}));
  EXPECT_EQ(desk.Call(Request(3, "listSavedOvpnProfiles", Json::array()))["result"],
            Json::parse(R"([{"_raw":"{\"name\":\"Home\"}"}])"));

  desk.Send("this is not json");
  const Json malformed = Json::parse(desk.ReadLine());
  EXPECT_TRUE(malformed["id"].is_null());
  EXPECT_EQ(malformed["error"]["code"], "EUNSPECIFIED");

  EXPECT_EQ(desk.Call(Request(4, "deleteOvpnProfile", {".."}))["error"]["message"],
            "Invalid profile id: \".\" and \"..\" are not allowed.");
  EXPECT_TRUE(fs::exists(config)) << "a refused delete removes nothing";

  EXPECT_EQ(desk.Call(Request(5, "deleteOvpnProfile", {"p1"})), (Json{{"id", 5}}));
  EXPECT_FALSE(fs::exists(config.parent_path()));

  desk.Send(Request(6, "readUserDefaults", {"theme"}).dump());
  desk.CloseInput();
  EXPECT_EQ(Json::parse(desk.ReadLine()), (Json{{"id", 6}, {"result", ""}})) << "pending calls settle at EOF";
  EXPECT_EQ(desk.WaitForExit(), 0);
}

}  // namespace
}  // namespace vlvpn
