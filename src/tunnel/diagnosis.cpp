#include "tunnel/diagnosis.h"

#include <array>
#include <fstream>

#include "common/text.h"

namespace vlvpn {
namespace {

constexpr std::string_view kAuthFailed = "Authentication failed - check your username and password.";
constexpr std::string_view kAdapter =
    "VPN network adapter (TAP) is disabled or in use.\n\n"
    "1. Open Device Manager \u2192 Network adapters\n"
    "2. Find \"TAP-Windows Adapter V9\" (or similar)\n"
    "3. Right-click \u2192 Enable\n"
    "4. Quit any other VPN apps, then reconnect\n\n"
    "If it is missing, reinstall Velunor VPN to restore the TAP driver.";
constexpr std::string_view kResolve =
    "Could not resolve the VPN server address. Check your internet connection.";
constexpr std::string_view kUnreachable = "Could not reach the VPN server. It may be offline or blocked.";
constexpr std::string_view kNoResponse =
    "No response from the VPN server. Check the server address, protocol (UDP/TCP) and port.";
constexpr std::string_view kTls = "Secure handshake with the VPN server failed (TLS error).";
// AUTH_FAILED sent for want of a common cipher is no wrong password.
constexpr std::string_view kNoCipher =
    "The VPN server and this profile have no data cipher in common, so the server refused the connection. "
    "The profile's data-ciphers must include one the server accepts.";

// What a failed handshake's lines name as its cause; `final`: no retry can mend it.
struct Cause {
  std::string_view text;
  bool final;
};
constexpr Cause kClientExpired{"This profile's client certificate has expired.", true};
constexpr Cause kClientNotYetValid{
    "This profile's client certificate is not valid yet: check this computer's date and time.", true};
constexpr Cause kServerExpired{"The server's certificate has expired.", true};
constexpr Cause kServerNotYetValid{
    "The server's certificate is not valid yet: check this computer's date and time.", true};
constexpr Cause kServerOtherCa{
    "The server's certificate was not issued by the certificate authority (CA) in this profile.", true};
constexpr Cause kServerNoUsage{"The server's certificate is not made for a VPN server.", true};
constexpr Cause kStaticKey{"The profile's tls-auth or tls-crypt key does not match the server's.", false};
constexpr std::string_view kNoAnswer =
    "The server never answered: check the server address and port, and that the profile's tls-auth or "
    "tls-crypt key is the server's.";

// OpenVPN's "2026-12-07 13:39:17 " before a log line: no part of the cause.
std::string_view WithoutTimestamp(std::string_view line) {
  constexpr std::string_view kShape = "dddd-dd-dd dd:dd:dd ";
  if (line.size() <= kShape.size()) return line;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (kShape[i] == 'd' ? !digit : line[i] != kShape[i]) return line;
  }
  return line.substr(kShape.size());
}

bool HasAny(std::string_view lower, std::initializer_list<std::string_view> needles) {
  for (std::string_view needle : needles) {
    if (Contains(lower, needle)) return true;
  }
  return false;
}

// The rules in their order, on the lower-cased line; `line` is the original.
using RuleMatch = LogDiagnosis::RuleMatch;

std::optional<RuleMatch> MatchLowered(std::string_view lower, std::string_view line) {
  const auto text = [](std::string_view t, bool final = false) { return RuleMatch{std::string(t), final, false}; };
  if (Contains(lower, "auth_failed") && Contains(lower, "cipher")) return text(kNoCipher, true);
  // "packet authentication failed" is a tls-auth/tls-crypt key's, not the user's password.
  if (Contains(lower, "auth_failed") ||
      (Contains(lower, "authentication failed") && !Contains(lower, "packet authentication failed"))) {
    return text(kAuthFailed, true);
  }
  if (Contains(lower, "tap-windows") && HasAny(lower, {"currently in use", "disabled", "there are no",
                                                  "createfile failed", "cannot find the file"})) {
    return text(kAdapter);
  }
  if (Contains(lower, "wintun") && Contains(lower, "system privileges")) return text(kAdapter);
  if (HasAny(lower, {"cannot resolve host", "could not determine ipv4/ipv6 protocol"})) return text(kResolve);
  if (HasAny(lower,
             {"connection refused", "connection timed out", "no route to host", "network is unreachable"})) {
    return text(kUnreachable);
  }
  if (HasAny(lower, {"server poll timeout", "connect-retry-max", "unsuccessful, exiting"})) {
    return text(kNoResponse);
  }
  if (HasAny(lower, {"tls error", "tls handshake failed", "tls key negotiation failed"})) {
    return RuleMatch{std::string(kTls), false, true};
  }
  if (Contains(lower, "options error")) {
    return RuleMatch{"VPN configuration error: " + std::string(WithoutTimestamp(line)), true, false};
  }
  return std::nullopt;
}

std::optional<Cause> TlsCauseOf(std::string_view lower) {
  if (Contains(lower, "your certificate has expired")) return kClientExpired;
  if (Contains(lower, "your certificate is not yet valid")) return kClientNotYetValid;
  if (HasAny(lower, {"verify ku error", "verify eku error"})) return kServerNoUsage;
  if (HasAny(lower, {"tls-crypt unwrap error", "cannot locate hmac", "packet authentication failed"})) {
    return kStaticKey;
  }
  if (!Contains(lower, "verify error")) return std::nullopt;
  if (Contains(lower, "certificate has expired")) return kServerExpired;
  if (Contains(lower, "certificate is not yet valid")) return kServerNotYetValid;
  if (Contains(lower, "unsuitable certificate purpose")) return kServerNoUsage;
  if (HasAny(lower, {"unable to get local issuer certificate", "self-signed certificate", "self signed certificate",
                     "unable to verify the first certificate", "certificate signature failure"})) {
    return kServerOtherCa;
  }
  return std::nullopt;
}

// The text after the last ": " up to " (errno=": the system's reason in an OpenVPN line.
std::string_view SystemReason(std::string_view line) {
  const std::size_t colon = line.rfind(": ");
  if (colon == std::string_view::npos) return {};
  std::string_view reason = line.substr(colon + 2);
  return reason.substr(0, reason.find(" (errno="));
}

// Consulted only where no rule of the table holds anywhere in the log.
std::optional<std::string> MatchFallback(std::string_view lower, std::string_view line) {
  if (Contains(lower, "key values mismatch")) {
    return "The client certificate and the private key in this profile do not belong together.";
  }
  if (Contains(lower, "cannot load ca certificate")) return "The CA certificate in this profile is missing or damaged.";
  if (HasAny(lower, {"cannot load certificate", "cannot load inline certificate"})) {
    return "The client certificate in this profile is missing or damaged.";
  }
  if (Contains(lower, "cannot load private key")) {
    return "The private key in this profile is missing or damaged, or its password is wrong.";
  }
  if (Contains(lower, "cannot open tun/tap dev")) {
    return "Could not open the VPN tunnel device: " + std::string(SystemReason(line)) + ".";
  }
  if (Contains(lower, "management: socket bind failed")) {
    const std::size_t at = line.find("]");
    const std::string_view address = at == std::string_view::npos ? std::string_view() : line.substr(at + 1);
    return "Another program holds the port OpenVPN is controlled through (" +
           std::string(address.substr(0, address.find(':', address.find(':') + 1))) +
           "): quit other VPN apps and reconnect.";
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> MatchDiagnosisRule(std::string_view line) {
  auto match = MatchLowered(AsciiLowerCopy(line), line);
  if (!match) return std::nullopt;
  return std::move(match->text);
}

void LogDiagnosis::Feed(std::string_view raw) {
  if (Decided()) return;
  const std::string_view line = TrimLineEnd(raw.substr(0, kMaxLine));
  if (line.empty()) return;
  lower_.assign(line);
  for (char& c : lower_) c = AsciiToLower(c);
  if (!cause_) {
    if (const auto cause = TlsCauseOf(lower_)) cause_ = Found{std::string(cause->text), cause->final};
  }
  answered_ = answered_ || Contains(lower_, "tls: initial packet from");
  timed_out_ = timed_out_ || Contains(lower_, "tls key negotiation failed");
  if (rule_) return;
  if (auto match = MatchLowered(lower_, line)) {
    rule_ = std::move(match);
    return;
  }
  if (!fallback_) fallback_ = MatchFallback(lower_, line);
  const bool exiting = Contains(lower_, "exiting due to fatal error");
  if (!exiting && HasAny(lower_, {"error", "fatal"})) newest_error_.assign(line);
  // "Exiting due to fatal error" names no cause: the line before it does.
  if (!exiting) newest_cause_.assign(line);
  newest_.assign(line);
}

bool LogDiagnosis::Decided() const { return rule_ && (!rule_->tls || cause_); }

bool LogDiagnosis::Final() const { return rule_ && (rule_->tls ? cause_ && cause_->final : rule_->final); }

std::string LogDiagnosis::Result() const {
  if (rule_ && rule_->tls) {
    if (cause_) return rule_->text + " " + cause_->text;
    if (timed_out_ && !answered_) return rule_->text + " " + std::string(kNoAnswer);
  }
  if (rule_) return rule_->text;
  if (fallback_) return *fallback_;
  const std::string& line = !newest_error_.empty() ? newest_error_ : !newest_cause_.empty() ? newest_cause_ : newest_;
  return std::string(WithoutTimestamp(line));
}

std::uint64_t FeedLog(const std::filesystem::path& path, std::uint64_t from, LogDiagnosis& diagnosis) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open() || !in.seekg(static_cast<std::streamoff>(from))) return from;
  std::array<char, 64 * 1024> chunk{};
  std::string partial;  // a line cut by the chunk's end, capped at kMaxLine
  std::uint64_t partial_size = 0;
  std::uint64_t end = from;  // just past the last whole line fed
  const auto append_capped = [&](std::string_view piece) {
    partial.append(
        piece.substr(0, LogDiagnosis::kMaxLine - std::min(partial.size(), LogDiagnosis::kMaxLine)));
    partial_size += piece.size();
  };
  while (!diagnosis.Decided() && in) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const std::string_view data(chunk.data(), static_cast<std::size_t>(in.gcount()));
    std::size_t start = 0;
    for (std::size_t nl = data.find('\n'); nl != std::string_view::npos; nl = data.find('\n', start)) {
      const std::string_view piece = data.substr(start, nl - start);
      if (partial_size == 0) {
        diagnosis.Feed(piece);
      } else {
        append_capped(piece);
        diagnosis.Feed(partial);
        partial.clear();
      }
      end += partial_size + piece.size() + 1;
      partial_size = 0;
      start = nl + 1;
    }
    append_capped(data.substr(start));
  }
  // A last line without its line feed may still be being written: judged, not passed.
  if (partial_size != 0) diagnosis.Feed(partial);
  return end;
}

std::string DiagnoseLog(const std::filesystem::path& path, bool rules_only) {
  // A log that cannot be read feeds no line, and no line explains nothing: empty.
  LogDiagnosis diagnosis;
  FeedLog(path, 0, diagnosis);
  if (rules_only && !diagnosis.ByRule()) return {};
  return diagnosis.Result();
}

}  // namespace vlvpn
