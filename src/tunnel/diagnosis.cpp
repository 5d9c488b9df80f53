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
std::optional<std::string> MatchLowered(std::string_view lower, std::string_view line) {
  if (HasAny(lower, {"auth_failed", "authentication failed"})) return std::string(kAuthFailed);
  if (Contains(lower, "tap-windows") && HasAny(lower, {"currently in use", "disabled", "there are no",
                                                  "createfile failed", "cannot find the file"})) {
    return std::string(kAdapter);
  }
  if (Contains(lower, "wintun") && Contains(lower, "system privileges")) return std::string(kAdapter);
  if (HasAny(lower, {"cannot resolve host", "could not determine ipv4/ipv6 protocol"}))
    return std::string(kResolve);
  if (HasAny(lower,
             {"connection refused", "connection timed out", "no route to host", "network is unreachable"})) {
    return std::string(kUnreachable);
  }
  if (HasAny(lower, {"server poll timeout", "connect-retry-max", "unsuccessful, exiting"})) {
    return std::string(kNoResponse);
  }
  if (HasAny(lower, {"tls error", "tls handshake failed", "tls key negotiation failed"}))
    return std::string(kTls);
  if (Contains(lower, "options error")) return "VPN configuration error: " + std::string(WithoutTimestamp(line));
  return std::nullopt;
}

}  // namespace

std::optional<std::string> MatchDiagnosisRule(std::string_view line) {
  return MatchLowered(AsciiLowerCopy(line), line);
}

void LogDiagnosis::Feed(std::string_view raw) {
  if (Decided()) return;
  const std::string_view line = TrimLineEnd(raw.substr(0, kMaxLine));
  if (line.empty()) return;
  lower_.assign(line);
  for (char& c : lower_) c = AsciiToLower(c);
  if (auto result = MatchLowered(lower_, line)) {
    rule_result_ = std::move(result);
    return;
  }
  const bool exiting = Contains(lower_, "exiting due to fatal error");
  if (!exiting && HasAny(lower_, {"error", "fatal"})) newest_error_.assign(line);
  // "Exiting due to fatal error" names no cause: the line before it does.
  if (!exiting) newest_cause_.assign(line);
  newest_.assign(line);
}

std::string LogDiagnosis::Result() const {
  if (rule_result_) return *rule_result_;
  const std::string& line = !newest_error_.empty() ? newest_error_ : !newest_cause_.empty() ? newest_cause_ : newest_;
  return std::string(WithoutTimestamp(line));
}

std::string DiagnoseLog(const std::filesystem::path& path, bool rules_only) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) return {};
  LogDiagnosis diagnosis;
  std::array<char, 64 * 1024> chunk{};
  std::string partial;  // a line cut by the chunk's end, capped at kMaxLine
  const auto append_capped = [&partial](std::string_view piece) {
    partial.append(
        piece.substr(0, LogDiagnosis::kMaxLine - std::min(partial.size(), LogDiagnosis::kMaxLine)));
  };
  while (!diagnosis.Decided() && in) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const std::string_view data(chunk.data(), static_cast<std::size_t>(in.gcount()));
    std::size_t start = 0;
    for (std::size_t nl = data.find('\n'); nl != std::string_view::npos; nl = data.find('\n', start)) {
      const std::string_view piece = data.substr(start, nl - start);
      if (partial.empty()) {
        diagnosis.Feed(piece);
      } else {
        append_capped(piece);
        diagnosis.Feed(partial);
        partial.clear();
      }
      start = nl + 1;
    }
    append_capped(data.substr(start));
  }
  if (!partial.empty()) diagnosis.Feed(partial);
  if (rules_only && !diagnosis.Decided()) return {};
  return diagnosis.Result();
}

}  // namespace vlvpn
