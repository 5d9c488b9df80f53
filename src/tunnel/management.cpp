#include "tunnel/management.h"

#include "common/text.h"

namespace vlvpn {
namespace {

using namespace std::chrono_literals;

// "time,WORD,..." -> WORD (the reply form of "state", and the body of ">STATE:").
std::optional<std::string> WordOfStateFields(std::string_view fields) {
  const std::size_t comma = fields.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  std::string_view word = fields.substr(comma + 1);
  word = TrimLineEnd(word.substr(0, word.find(',')));
  std::string mapped = MapOpenVpnState(word);
  if (mapped.empty()) return std::nullopt;
  return mapped;
}

}  // namespace

std::string MapOpenVpnState(std::string_view word) {
  if (word == "CONNECTED") return std::string(kStateConnected);
  for (std::string_view w :
       {"CONNECTING", "WAIT", "AUTH", "GET_CONFIG", "ASSIGN_IP", "ADD_ROUTES", "RECONNECTING"}) {
    if (word == w) return std::string(kStateConnecting);
  }
  if (word == "DISCONNECTED" || word == "EXITING") return std::string(kStateDisconnected);
  return {};
}

std::optional<std::string> StateOfLine(std::string_view line) {
  constexpr std::string_view kPrefix = ">STATE:";
  if (line.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  return WordOfStateFields(line.substr(kPrefix.size()));
}

void LineSplitter::Append(std::string_view bytes) {
  for (const char c : bytes) {
    if (c == '\n') {
      if (!buffer_.empty() && buffer_.back() == '\r') buffer_.pop_back();
      ready_.push_back(std::move(buffer_));
      buffer_.clear();
      discarding_ = false;
    } else if (!discarding_) {
      if (buffer_.size() < kMaxLine) {
        buffer_ += c;
      } else {
        discarding_ = true;
      }
    }
  }
}

std::optional<std::string> LineSplitter::Next() {
  if (taken_ >= ready_.size()) {
    ready_.clear();
    taken_ = 0;
    return std::nullopt;
  }
  return std::move(ready_[taken_++]);
}

std::shared_ptr<ManagementConnection> ManagementConnection::Open(std::uint16_t port, std::string_view password,
                                                                 std::chrono::milliseconds timeout) {
  TcpSocket socket = TcpSocket::Connect(port, timeout);
  if (!socket.valid()) return nullptr;
  auto connection = std::make_shared<ManagementConnection>(std::move(socket));
  if (!password.empty() && !connection->LogIn(password, timeout)) return nullptr;
  return connection;
}

bool ManagementConnection::LogIn(std::string_view password, std::chrono::milliseconds timeout) {
  constexpr std::string_view kPrompt = "ENTER PASSWORD:";
  constexpr std::string_view kAccepted = "SUCCESS: password is correct";
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // Reads until `done` holds; false at the deadline or when the peer is gone.
  const auto read_until = [&](const auto& done) {
    while (!done() && early_.size() < 4096) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left <= 0ms || socket_.Receive(early_, left) != TcpSocket::Received::kData) return false;
    }
    return done();
  };
  // OpenVPN asks at once; one started without a password greets instead.
  const auto asked = [&] {
    return early_.size() >= kPrompt.size() || early_.find('\n') != std::string::npos;
  };
  if (!read_until(asked)) return true;  // a silent listener: the caller finds out
  if (!early_.starts_with(kPrompt)) return true;
  early_.erase(0, kPrompt.size());
  socket_.SendAll(std::string(password) + "\n");
  // A wrong password is asked for again.
  const auto answered = [&] {
    return early_.find('\n') != std::string::npos || early_.starts_with(kPrompt);
  };
  if (!read_until(answered) || !early_.starts_with(kAccepted)) return false;
  early_.erase(0, early_.find('\n') + 1);
  return true;
}

TcpSocket::Received ManagementConnection::Receive(std::string& out, std::chrono::milliseconds timeout) const {
  if (!early_.empty()) {
    out += early_;
    early_.clear();
    return TcpSocket::Received::kData;
  }
  return socket_.Receive(out, timeout);
}

void ManagementConnection::Send(std::string_view command) const {
  std::lock_guard guard(send_lock_);
  socket_.SendAll(std::string(command) + "\r\n");
}

std::string QueryState(const ManagementConnection& connection, std::chrono::milliseconds timeout) {
  connection.Send("state");
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (text.size() <= 8192) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= std::chrono::milliseconds::zero()) break;
    const auto received = connection.Receive(text, std::min<std::chrono::milliseconds>(left, 250ms));
    if (received == TcpSocket::Received::kClosed || received == TcpSocket::Received::kFailed) break;
    if (received == TcpSocket::Received::kTimedOut && !text.empty()) break;
    // The reply ends with END; no need to wait out the rest.
    if (text.find("\nEND") != std::string::npos) break;
  }
  // The answer ("time,WORD,..." lines before END) and any >STATE: pushed meanwhile; the
  // last word is where OpenVPN is (EXITING is no tunnel on its way).
  StateReader reader;
  const std::vector<std::string> words = reader.Feed(text + "\n");
  return words.empty() ? std::string(kStateConnecting) : words.back();
}

bool GreetedByOpenVpn(const ManagementConnection& connection, std::chrono::milliseconds timeout) {
  constexpr std::string_view kGreeting = ">INFO:OpenVPN Management Interface";
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string text;
  while (text.find('\n') == std::string::npos && text.size() < 4096) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= std::chrono::milliseconds::zero()) break;
    if (connection.Receive(text, left) != TcpSocket::Received::kData) break;
  }
  return text.rfind(kGreeting, 0) == 0;
}

std::vector<std::string> StateReader::Feed(std::string_view bytes) {
  std::vector<std::string> words;
  lines_.Append(bytes);
  while (auto line = lines_.Next()) {
    if (auto word = StateOfLine(*line)) {
      if (line->find(",RECONNECTING,") != std::string::npos) ++restarts_;
      words.push_back(std::move(*word));
    } else if (in_state_reply_) {
      if (*line == "END") {
        in_state_reply_ = false;
      } else if (!line->empty() && line->front() != '>' && line->rfind("SUCCESS:", 0) != 0) {
        if (auto current = WordOfStateFields(*line)) words.push_back(std::move(*current));
      }
    }
  }
  return words;
}

}  // namespace vlvpn
