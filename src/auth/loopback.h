#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "common/tcp_socket.h"

namespace vlvpn {

// The redirect target of browser sign-in: a one-shot HTTP listener on 127.0.0.1.
inline constexpr std::uint16_t kFirstLoopbackPort = 42813;
inline constexpr int kLoopbackPorts = 5;
inline constexpr std::size_t kRequestCap = 8191;

struct LoopbackOptions {
  std::uint16_t first_port = kFirstLoopbackPort;  // the first of the five preferred ports
  std::chrono::milliseconds browser_wait{std::chrono::seconds(180)};  // for the browser's connection
  std::chrono::milliseconds receive_limit{std::chrono::seconds(10)};  // for its request line
  // Hands an http(s) URL to the user's browser; true when it was taken.
  std::function<bool(const std::string& url)> open_browser;
};

struct LoopbackOpened {
  bool ok = false;
  std::uint16_t port = 0;
  std::string redirect_uri;
  std::string error;
};

// A settled wait: the callback URL, or the error text ("code: text" for coded ones).
struct LoopbackResult {
  bool ok = false;
  std::string callback_url;
  std::string error;
};

// The bytes every browser connection is answered with.
const std::string& LoopbackResponse();
// "http://127.0.0.1:<port>" + the request target of the request's first line; empty
// when the line has no target.
std::string CallbackUrl(std::string_view request, std::uint16_t port);
// Only web addresses are handed to the browser: never a file, a program or an option.
bool IsWebAddress(std::string_view url);
// The platform's way to open a web address in the user's browser.
bool OpenInSystemBrowser(const std::string& url);

// One listener at a time; each wait owns its listener, its worker thread and its wake-up
// pair, so a worker only ever touches what it was started with. Every method may be
// called from any thread; workers are joined, never detached.
class LoopbackReceiver {
 public:
  explicit LoopbackReceiver(LoopbackOptions options);
  LoopbackReceiver(const LoopbackReceiver&) = delete;
  LoopbackReceiver& operator=(const LoopbackReceiver&) = delete;
  ~LoopbackReceiver();

  // Opens the listener (an outstanding wait is cancelled first).
  LoopbackOpened Begin();
  // Opens `authorize_url` in the browser and waits for the redirect; `done` runs once,
  // on the wait's worker or on the calling thread.
  void Await(const std::string& authorize_url, std::function<void(const LoopbackResult&)> done);
  // Ends any wait (as cancelled) and closes the listener.
  void Cancel();

  struct Wait;

 private:
  // Takes the outstanding wait out, settles it with `result` if it is still open, wakes
  // its worker and joins it.
  void EndWait(const LoopbackResult& result);

  LoopbackOptions options_;
  std::mutex lock_;
  TcpSocket listener_;  // open and not yet waited on
  std::uint16_t port_ = 0;
  std::shared_ptr<Wait> wait_;
};

}  // namespace vlvpn
