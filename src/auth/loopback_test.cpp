#include "auth/loopback.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>
#include <vector>

#include "common/file_io.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(LoopbackTexts, ResponseCallbackUrlAndWebAddresses) {
  // A whole HTTP answer a browser shows: its length is its body's, and it says so.
  const std::string& response = LoopbackResponse();
  const std::string body = response.substr(response.find("\r\n\r\n") + 4);
  EXPECT_THAT(response, StartsWith("HTTP/1.1 200 OK\r\n"));
  EXPECT_THAT(response, HasSubstr("\r\nContent-Type: text/html; charset=utf-8\r\n"));
  EXPECT_THAT(response, HasSubstr("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n"));
  EXPECT_THAT(body, HasSubstr("Signed in"));

  const std::pair<const char*, const char*> urls[] = {
      {"GET /other HTTP/1.1", "http://127.0.0.1:42813/other"},
      {"GET /no-version", "http://127.0.0.1:42813/no-version"},
      {"GET /cb?code=1\nHost: x HTTP/1.1\r\n", "http://127.0.0.1:42813/cb?code=1"},  // a bare line feed ends it
      {"GET /cb?code=2\rX HTTP/1.1\r\n", "http://127.0.0.1:42813/cb?code=2"},
      {"GET  HTTP/1.1\r\n", ""},
  };
  for (const auto& [request, url] : urls) EXPECT_EQ(CallbackUrl(request, 42813), url) << request;

  for (const char* good : {"https://accounts.example/o?x=1", "HTTP://example/", "http://127.0.0.1:1/"}) {
    EXPECT_TRUE(IsWebAddress(good)) << good;
  }
  for (const char* bad : {"file:///etc/passwd", "C:\\Windows\\notepad.exe", "--help", "/usr/bin/xterm",
                          "javascript:alert(1)", "https://a/\nb", "httpx://a"}) {
    EXPECT_FALSE(IsWebAddress(bad)) << bad;
  }
}

// A browser: connects, sends the pieces with pauses, and reads the answer to its end.
std::string Browse(std::uint16_t port, const std::vector<std::string>& pieces) {
  const TcpSocket socket = TcpSocket::Connect(port, 5s);
  if (!socket.valid()) return "<no connection>";
  for (const std::string& piece : pieces) {
    socket.SendAll(piece);
    std::this_thread::sleep_for(50ms);
  }
  std::string answer;
  while (socket.Receive(answer, 20s) == TcpSocket::Received::kData) {
  }
  return answer;
}

class LoopbackReceiverTest : public ::testing::Test {
 protected:
  LoopbackReceiverTest() {
    // Preferred ports of the test's own, so that a sign-in elsewhere on the machine (or
    // another test) never decides what these tests see.
    options_.first_port = TcpSocket::Listen(0).LocalPort();
    options_.receive_limit = 300ms;
    options_.open_browser = [this](const std::string& url) {
      std::lock_guard guard(lock_);
      opened_.push_back(url);
      return browser_works_;
    };
  }

  // Starts a wait; the future holds its settlement.
  std::future<LoopbackResult> Await(LoopbackReceiver& receiver, const std::string& url) {
    auto settled = std::make_shared<std::promise<LoopbackResult>>();
    receiver.Await(url, [settled](const LoopbackResult& result) { settled->set_value(result); });
    return settled->get_future();
  }
  std::vector<std::string> Opened() {
    std::lock_guard guard(lock_);
    return opened_;
  }

  LoopbackOptions options_;
  std::mutex lock_;
  std::vector<std::string> opened_;
  bool browser_works_ = true;
};

TEST_F(LoopbackReceiverTest, RedirectsArriveWholeHoweverTheyAreSent) {
  // What a browser sends, in pieces; the callback address after the port, or the error.
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"GE", "T /oauth2redirect?code=", "4%2F0A&state=s", "1 HTTP/1.1\r", "\nHost: x\r\n\r\n"},
       "/oauth2redirect?code=4%2F0A&state=s1"},
      {{"GARBAGE\r\n\r\n"}, "no_code: Google redirect did not include a code"},
      {{}, "no_code: Google redirect did not include a code"},
      {{"GET /oauth2redirect?code=" + std::string(9000, 'c')},
       "/oauth2redirect?code=" + std::string(kRequestCap - 25, 'c')},
  };
  const std::string authorize = "https://accounts.example/o/oauth2/auth?redirect_uri=x";
  LoopbackReceiver receiver(options_);
  for (const auto& [pieces, expected] : cases) {
    const LoopbackOpened opened = receiver.Begin();
    ASSERT_TRUE(opened.ok) << opened.error;
    const std::string origin = "http://127.0.0.1:" + std::to_string(opened.port);
    EXPECT_EQ(opened.redirect_uri, origin + "/oauth2redirect");
    auto settled = Await(receiver, authorize);
    EXPECT_EQ(Browse(opened.port, pieces), LoopbackResponse()) << "the page, whatever was asked";
    const LoopbackResult result = settled.get();
    EXPECT_EQ(result.ok ? result.callback_url : result.error, (result.ok ? origin : "") + expected);
  }
  EXPECT_EQ(Opened(), std::vector<std::string>(std::size(cases), authorize));
}

TEST_F(LoopbackReceiverTest, PreferredPortsThenOneTheSystemChooses) {
  // All preferred ports held by the test: a range where another program (or another
  // test's connection) holds none of them already.
  std::vector<TcpSocket> taken;
  for (int tries = 0; tries < 20 && taken.size() < static_cast<std::size_t>(kLoopbackPorts); ++tries) {
    taken.clear();
    options_.first_port = TcpSocket::Listen(0).LocalPort();
    for (int i = 0; i < kLoopbackPorts; ++i) {
      TcpSocket held = TcpSocket::Listen(static_cast<std::uint16_t>(options_.first_port + i));
      if (!held.valid()) break;
      taken.push_back(std::move(held));
    }
  }
  ASSERT_EQ(taken.size(), static_cast<std::size_t>(kLoopbackPorts));
  const std::uint16_t first = options_.first_port;
  LoopbackReceiver receiver(options_);
  const LoopbackOpened opened = receiver.Begin();
  ASSERT_TRUE(opened.ok);
  EXPECT_TRUE(opened.port < first || opened.port >= first + kLoopbackPorts) << opened.port;
  taken.erase(taken.begin() + 1, taken.end());
  EXPECT_EQ(receiver.Begin().port, first + 1) << "the first free one, in order";
}

#ifndef _WIN32
// xdg-open in its generic mode runs the browser in the foreground: the opener's failure
// is heard, but a browser that keeps running holds up nothing (the redirect must be
// accepted meanwhile).
TEST(OpenInSystemBrowser, DoesNotWaitForTheBrowser) {
  testing::TempFolder folder;
  const char* old_path = std::getenv("PATH");
  const std::string saved = old_path != nullptr ? old_path : "";
  ::setenv("PATH", folder.path().c_str(), 1);
  const std::pair<const char*, bool> openers[] = {{"exec /bin/sleep 3", true}, {"exit 3", false}};
  for (const auto& [script, opened] : openers) {
    WriteFileAtomically(folder.path() / "xdg-open", std::string("#!/bin/sh\n") + script + "\n");
    std::filesystem::permissions(folder.path() / "xdg-open", std::filesystem::perms::owner_all);
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(OpenInSystemBrowser("https://sign-in.example/authorize?x=1"), opened) << script;
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 2s) << script;
  }
  ::setenv("PATH", saved.c_str(), 1);
}
#endif

TEST_F(LoopbackReceiverTest, RefusalsOneWaitAtATimeAndPromptCancelling) {
  LoopbackReceiver receiver(options_);
  EXPECT_EQ(Await(receiver, "https://a/").get().error, "Call beginLoopback before awaitLoopbackCallback");

  const std::pair<std::string, std::string> refused[] = {
      {"", "invalid_url: Missing OAuth authorize URL"},
      {"file:///etc/passwd", "open_url: Could not open the system browser"},
  };
  for (const auto& [url, error] : refused) {
    const std::uint16_t port = receiver.Begin().port;
    EXPECT_EQ(Await(receiver, url).get().error, error) << url;
    EXPECT_FALSE(TcpSocket::Connect(port, 1s).valid()) << "the listener is closed";
  }
  EXPECT_TRUE(Opened().empty()) << "nothing that is not a web address reaches the browser";

  browser_works_ = false;
  receiver.Begin();
  EXPECT_EQ(Await(receiver, "https://a/").get().error, "open_url: Could not open the system browser");
  browser_works_ = true;

  options_.browser_wait = 200ms;
  LoopbackReceiver impatient(options_);
  impatient.Begin();
  EXPECT_EQ(Await(impatient, "https://a/").get().error, "cancelled: Google sign-in timed out");

  const std::uint16_t port = receiver.Begin().port;
  auto first = Await(receiver, "https://a/");
  EXPECT_EQ(Await(receiver, "https://b/").get().error, "OAuth loopback already waiting");
  EXPECT_EQ(Browse(port, {"GET /oauth2redirect?code=1 HTTP/1.1\r\n\r\n"}), LoopbackResponse());
  EXPECT_EQ(first.get().callback_url, "http://127.0.0.1:" + std::to_string(port) + "/oauth2redirect?code=1")
      << "the first wait went on";

  // A worker waiting for the browser (three minutes) wakes as soon as it is cancelled.
  receiver.Begin();
  auto waiting = Await(receiver, "https://a/");
  auto cancelled = std::async(std::launch::async, [&receiver] { receiver.Cancel(); });
  ASSERT_EQ(cancelled.wait_for(10s), std::future_status::ready) << "cancel waited for the worker's time-out";
  EXPECT_EQ(waiting.get().error, "cancelled: Google sign-in was cancelled");

  // A new listener while a wait is outstanding cancels that wait first.
  receiver.Begin();
  auto superseded = Await(receiver, "https://a/");
  const LoopbackOpened fresh = receiver.Begin();
  EXPECT_EQ(superseded.get().error, "cancelled: Google sign-in was cancelled");
  ASSERT_TRUE(fresh.ok);
  auto next = Await(receiver, "https://a/");
  EXPECT_EQ(Browse(fresh.port, {"GET /oauth2redirect?code=2 HTTP/1.1\r\n\r\n"}), LoopbackResponse());
  EXPECT_TRUE(next.get().ok) << "the old worker never touched the new listener";
}

}  // namespace
}  // namespace vlvpn
