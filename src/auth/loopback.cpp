#include "auth/loopback.h"

#include <atomic>
#include <thread>

#include "common/text.h"

namespace vlvpn {
namespace {

constexpr std::string_view kUrlPrefix = "http://127.0.0.1:";
constexpr std::string_view kRedirectPath = "/oauth2redirect";

LoopbackResult Failure(std::string_view code, std::string_view text) {
  return {false, {}, std::string(code) + ": " + std::string(text)};
}
LoopbackResult Cancelled() { return Failure("cancelled", "Google sign-in was cancelled"); }

}  // namespace

struct LoopbackReceiver::Wait {
  TcpSocket listener;
  std::uint16_t port = 0;
  TcpSocket wake_read, wake_write;
  std::function<void(const LoopbackResult&)> done;
  std::atomic<bool> settled{false};
  std::thread worker;

  bool Settle(const LoopbackResult& result) {
    if (settled.exchange(true)) return false;
    done(result);
    return true;
  }
  void Wake() const { wake_write.SendAll("x"); }
  void Serve(const LoopbackOptions& options, const std::string& url);
};

const std::string& LoopbackResponse() {
  static const std::string response = [] {
    const std::string page =
        "<html><head><meta charset=\"utf-8\"><title>Velunor VPN</title></head>"
        "<body style=\"font-family:Segoe UI,sans-serif;padding:40px;text-align:center;\">"
        "<h2>Signed in</h2><p>You can close this window and return to Velunor VPN.</p></body></html>";
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
           std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page;
  }();
  return response;
}

std::string CallbackUrl(std::string_view request, std::uint16_t port) {
  // The request line ends at the first line break, bare ones included: nothing after
  // it may become part of the address handed to the interface.
  const std::string_view line = request.substr(0, request.find_first_of("\r\n"));
  const std::size_t first = line.find(' ');
  if (first == std::string_view::npos) return {};
  const std::size_t second = line.find(' ', first + 1);
  const std::string_view target =
      line.substr(first + 1, second == std::string_view::npos ? std::string_view::npos : second - first - 1);
  if (target.empty()) return {};
  return std::string(kUrlPrefix) + std::to_string(port) + std::string(target);
}

bool IsWebAddress(std::string_view url) {
  const std::string lowered = AsciiLowerCopy(url.substr(0, 8));
  if (lowered.rfind("http://", 0) != 0 && lowered.rfind("https://", 0) != 0) return false;
  for (const char c : url) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  }
  return true;
}

void LoopbackReceiver::Wait::Serve(const LoopbackOptions& options, const std::string& url) {
  if (!options.open_browser(url)) {
    Settle(Failure("open_url", "Could not open the system browser"));
    return;
  }
  const unsigned ready = TcpSocket::WaitReadable(listener, &wake_read, options.browser_wait);
  if (ready != 1) {
    Settle(ready == 0 ? Failure("cancelled", "Google sign-in timed out") : Cancelled());
    return;
  }
  const TcpSocket connection = listener.Accept(std::chrono::milliseconds::zero());
  listener = TcpSocket();  // one listener serves one redirect
  if (!connection.valid()) {
    Settle(Failure("loopback_accept", "OAuth loopback accept failed"));
    return;
  }
  // The request line may come in several pieces; read until its end, the cap or the limit.
  std::string request;
  const auto deadline = std::chrono::steady_clock::now() + options.receive_limit;
  while (request.find("\r\n") == std::string::npos && request.size() < kRequestCap) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || connection.Receive(request, left) != TcpSocket::Received::kData) break;
  }
  if (request.size() > kRequestCap) request.resize(kRequestCap);
  const std::string callback = CallbackUrl(request, port);

  connection.SendAll(LoopbackResponse());
  // Let the browser read the page before the connection goes: closing with its unread
  // request bytes still queued would reset the connection and could lose the page.
  connection.FinishSending();
  std::string rest;
  const auto drain_until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (rest.size() < 65536 && std::chrono::steady_clock::now() < drain_until &&
         connection.Receive(rest, std::chrono::milliseconds(100)) == TcpSocket::Received::kData) {
  }
  Settle(callback.empty() ? Failure("no_code", "Google redirect did not include a code")
                          : LoopbackResult{true, callback, {}});
}

LoopbackReceiver::LoopbackReceiver(LoopbackOptions options) : options_(std::move(options)) {
  if (!options_.open_browser) options_.open_browser = OpenInSystemBrowser;
}

LoopbackReceiver::~LoopbackReceiver() { EndWait(Cancelled()); }

void LoopbackReceiver::EndWait(const LoopbackResult& result) {
  std::shared_ptr<Wait> wait;
  {
    std::lock_guard guard(lock_);
    wait.swap(wait_);
  }
  if (!wait) return;
  wait->Settle(result);
  wait->Wake();
  if (wait->worker.joinable()) wait->worker.join();
}

LoopbackOpened LoopbackReceiver::Begin() {
  EndWait(Cancelled());
  std::lock_guard guard(lock_);
  listener_ = TcpSocket();
  port_ = 0;
  // Never an address-reuse listener: the redirect carries the code, and no other socket
  // may share the port.
  for (int i = 0; i < kLoopbackPorts && !listener_.valid(); ++i) {
    listener_ = TcpSocket::Listen(static_cast<std::uint16_t>(options_.first_port + i), 1, false);
  }
  if (!listener_.valid()) {
    TcpSocket::ListenStep failed = TcpSocket::ListenStep::kNone;
    listener_ = TcpSocket::Listen(0, 1, false, &failed);
    switch (failed) {
      case TcpSocket::ListenStep::kNone: break;
      case TcpSocket::ListenStep::kCreate: return {false, 0, {}, "Could not create OAuth loopback socket"};
      case TcpSocket::ListenStep::kBind: return {false, 0, {}, "Could not bind OAuth loopback socket"};
      case TcpSocket::ListenStep::kListen: return {false, 0, {}, "Could not listen on OAuth loopback socket"};
    }
  }
  port_ = listener_.LocalPort();
  if (port_ == 0) {
    listener_ = TcpSocket();
    return {false, 0, {}, "Could not read OAuth loopback port"};
  }
  return {true, port_, std::string(kUrlPrefix) + std::to_string(port_) + std::string(kRedirectPath), {}};
}

void LoopbackReceiver::Await(const std::string& authorize_url, std::function<void(const LoopbackResult&)> done) {
  std::shared_ptr<Wait> finished;
  std::unique_lock guard(lock_);
  if (wait_ && !wait_->settled) {
    guard.unlock();
    return done({false, {}, "OAuth loopback already waiting"});
  }
  finished.swap(wait_);  // settled on its own: its worker is ending
  if (!listener_.valid()) {
    guard.unlock();
    if (finished && finished->worker.joinable()) finished->worker.join();
    return done({false, {}, "Call beginLoopback before awaitLoopbackCallback"});
  }
  auto wait = std::make_shared<Wait>();
  wait->listener = std::move(listener_);
  wait->port = std::exchange(port_, 0);
  wait->done = std::move(done);
  auto [wake_read, wake_write] = TcpSocket::ConnectedPair();
  wait->wake_read = std::move(wake_read);
  wait->wake_write = std::move(wake_write);
  if (authorize_url.empty() || !IsWebAddress(authorize_url) || !wait->wake_read.valid()) {
    guard.unlock();
    if (finished && finished->worker.joinable()) finished->worker.join();
    if (authorize_url.empty()) return void(wait->Settle(Failure("invalid_url", "Missing OAuth authorize URL")));
    if (!wait->wake_read.valid()) return void(wait->Settle(Cancelled()));
    return void(wait->Settle(Failure("open_url", "Could not open the system browser")));
  }
  try {
    wait->worker = std::thread([wait = wait.get(), options = options_, authorize_url] {
      wait->Serve(options, authorize_url);
      wait->listener = TcpSocket();
    });
  } catch (const std::system_error&) {
    guard.unlock();
    wait->Settle(Cancelled());
    return;
  }
  wait_ = std::move(wait);
  guard.unlock();
  if (finished && finished->worker.joinable()) finished->worker.join();
}

void LoopbackReceiver::Cancel() {
  EndWait(Cancelled());
  std::lock_guard guard(lock_);
  listener_ = TcpSocket();
  port_ = 0;
}

}  // namespace vlvpn
