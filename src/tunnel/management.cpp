#include "tunnel/management.h"

namespace vlvpn {
namespace {

using namespace std::chrono_literals;

std::string_view TrimLineEnd(std::string_view s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

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

std::shared_ptr<ManagementConnection> ManagementConnection::Open(std::uint16_t port,
                                                                 std::chrono::milliseconds timeout) {
  TcpSocket socket = TcpSocket::Connect(port, timeout);
  if (!socket.valid()) return nullptr;
  return std::make_shared<ManagementConnection>(std::move(socket));
}

void ManagementConnection::Send(std::string_view command) const {
  std::lock_guard guard(send_lock_);
  socket_.SendAll(std::string(command) + "\r\n");
}

std::string QueryState(const ManagementConnection& connection) {
  connection.Send("state");
  std::string text;
  for (int wait = 0; wait < 15 && text.size() <= 8192; ++wait) {
    const auto received = connection.socket().Receive(text, 250ms);
    if (received == TcpSocket::Received::kClosed || received == TcpSocket::Received::kFailed) break;
    if (received == TcpSocket::Received::kTimedOut && !text.empty()) break;
    // The reply ends with END; no need to wait out the rest.
    if (text.find("\nEND") != std::string::npos) break;
  }
  LineSplitter lines;
  lines.Append(text + "\n");
  std::string result;
  while (auto line = lines.Next()) {
    if (auto word = StateOfLine(*line)) result = *word;
  }
  if (!result.empty()) return result;
  return text.find(",CONNECTED,") != std::string::npos ? std::string(kStateConnected)
                                                       : std::string(kStateConnecting);
}

void TunnelMonitor::Start(std::shared_ptr<ManagementConnection> connection) {
  std::lock_guard guard(lock_);
  if (thread_.joinable()) {
    running_ = false;
    if (current_) current_->Shutdown();
    thread_.join();
  }
  current_ = connection;
  running_ = true;
  thread_ = std::thread([this, connection] { Run(connection); });
}

void TunnelMonitor::Stop() {
  std::lock_guard guard(lock_);
  running_ = false;
  if (thread_.joinable()) {
    // Wake the reader at once rather than after its wait; the connection is being
    // given up anyway.
    if (current_) current_->Shutdown();
    thread_.join();
  }
  current_.reset();
}

void TunnelMonitor::Apply(const std::string& word) {
  const bool became_connected = state_.Update([&word](TunnelRecord& r) {
    const bool turned = word == kStateConnected && r.state != kStateConnected;
    r.state = word;
    if (word == kStateConnected) r.message.clear();
    return turned;
  });
  if (became_connected && hooks_.became_connected) hooks_.became_connected();
}

void TunnelMonitor::Dropped(const std::shared_ptr<ManagementConnection>& connection) {
  const TunnelRecord before = state_.Snapshot();
  if (before.state == kStateDisconnected) return;
  // The diagnosis reads a file: work it out before taking the lock.
  std::string message = hooks_.diagnose ? hooks_.diagnose(before.log_path) : std::string();
  if (message.empty()) message = "Connection closed";
  const bool noted = state_.Update([&](TunnelRecord& r) {
    if (r.state == kStateDisconnected || r.management != connection) return false;
    r.state = std::string(kStateDisconnected);
    r.message = message;
    return true;
  });
  if (noted && hooks_.dropped) hooks_.dropped();
}

void TunnelMonitor::Run(const std::shared_ptr<ManagementConnection>& connection) {
  connection->Send("state on");
  // "state on" reports only later changes; ask once for where OpenVPN already is.
  connection->Send("state");
  bool in_state_reply = true;
  LineSplitter lines;
  std::string bytes;
  while (running_) {
    bytes.clear();
    // Short waits: a stop is seen within one of them even where shutting the socket
    // down does not wake a waiting reader (it does on Linux, not everywhere on Windows).
    const auto received = connection->socket().Receive(bytes, 100ms);
    if (!running_) break;
    if (received == TcpSocket::Received::kTimedOut) continue;
    // A reset counts like a close: OpenVPN killed with our commands unread resets the
    // connection rather than closing it.
    if (received == TcpSocket::Received::kClosed || received == TcpSocket::Received::kFailed) {
      Dropped(connection);
      break;
    }
    lines.Append(bytes);
    while (auto line = lines.Next()) {
      if (auto word = StateOfLine(*line)) {
        Apply(*word);
      } else if (in_state_reply) {
        if (*line == "END") {
          in_state_reply = false;
        } else if (!line->empty() && line->front() != '>' && line->rfind("SUCCESS:", 0) != 0) {
          if (auto current = WordOfStateFields(*line)) Apply(*current);
        }
      }
    }
  }
  state_.Update([&connection](TunnelRecord& r) {
    if (r.management == connection) r.management.reset();
  });
}

}  // namespace vlvpn
