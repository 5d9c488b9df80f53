#include "service/openvpn_policy.h"

#include <charconv>
#include <map>
#include <set>

#include "common/arguments.h"

namespace vlvpn::service {
namespace {

// OpenVPN reads a profile in lines of at most 255 bytes and starts a new line with
// whatever follows, so a longer line could hide a directive from a line-based check.
constexpr std::size_t kMaxLine = 255;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

bool IsCount(std::string_view text) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && text.size() <= 7 && error == std::errc() && end == text.data() + text.size();
}

// Client directives that neither run nor load anything and name no file.
const std::set<std::string, std::less<>>& PlainDirectives() {
  static const std::set<std::string, std::less<>> names = {
      "allow-compression", "allow-pull-fqdn", "auth", "auth-nocache", "auth-retry", "bind",
      "block-outside-dns", "cipher", "client", "comp-lzo", "comp-noadapt", "compress",
      "connect-retry", "connect-retry-max", "connect-timeout", "data-ciphers", "data-ciphers-fallback",
      "dev", "dev-type", "dhcp-option", "ecdh-curve", "explicit-exit-notify", "fast-io", "float",
      "fragment", "group", "hand-window", "http-proxy-option", "http-proxy-retry", "http-proxy-timeout",
      "ifconfig", "ifconfig-ipv6", "ifconfig-noexec", "ifconfig-nowarn", "ignore-unknown-option",
      "inactive", "keepalive", "key-direction", "key-method", "link-mtu", "lport", "mark",
      "mssfix", "mtu-disc", "mtu-test", "mute", "mute-replay-warnings", "ncp-ciphers",
      "ncp-disable", "nobind", "ns-cert-type", "persist-key", "persist-remote-ip",
      "persist-tun", "ping", "ping-exit", "ping-restart", "ping-timer-rem", "port", "proto",
      "pull", "pull-filter", "push-peer-info", "rcvbuf", "redirect-gateway", "redirect-private",
      "remote", "remote-cert-eku", "remote-cert-ku", "remote-cert-tls", "remote-random",
      "remote-random-hostname", "reneg-bytes", "reneg-pkts", "reneg-sec", "replay-window",
      "resolv-retry", "route", "route-delay", "route-gateway", "route-ipv6", "route-metric",
      "route-noexec", "route-nopull", "rport", "server-poll-timeout", "setenv", "setenv-safe",
      "single-session", "sndbuf", "socks-proxy-retry", "static-challenge", "suppress-timestamps",
      "tls-cert-profile", "tls-cipher", "tls-ciphersuites", "tls-client", "tls-exit",
      "tls-groups", "tls-timeout", "tls-version-max", "tls-version-min", "topology", "tun-ipv6",
      "tun-mtu", "tun-mtu-extra", "txqueuelen", "user", "verb", "verify-x509-name"};
  return names;
}

// Directives whose token at this index (when present) is a file OpenVPN reads.
const std::map<std::string, std::size_t, std::less<>>& FileDirectives() {
  static const std::map<std::string, std::size_t, std::less<>> files = {
      {"askpass", 1}, {"auth-user-pass", 1}, {"ca", 1},     {"cert", 1},        {"crl-verify", 1},
      {"dh", 1},      {"extra-certs", 1},    {"key", 1},    {"pkcs12", 1},      {"secret", 1},
      {"tls-auth", 1}, {"tls-crypt", 1},     {"tls-crypt-v2", 1}, {"http-proxy", 3}, {"socks-proxy", 3}};
  return files;
}

// Words in a file position that are no file.
bool IsFileKeyword(std::string_view directive, std::string_view token) {
  if (token == "[inline]") return true;
  if (directive == "http-proxy") return token == "auto" || token == "auto-nct" || token == "stdin";
  if (directive == "socks-proxy") return token == "stdin";
  return false;
}

// Inline blocks (<ca>...</ca>) carry data, never a path; <connection> holds directives.
bool IsInlineTag(std::string_view tag) {
  return tag != "connection" && (FileDirectives().contains(tag) || tag == "http-proxy-user-pass");
}

// Tokens as OpenVPN reads a line: whitespace-separated, "..." and '...' quoting,
// backslash escapes outside single quotes; each token kept as written.
std::vector<std::string> Tokens(std::string_view line, std::vector<std::string>& raw) {
  std::vector<std::string> tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i >= line.size() || line[i] == '#' || line[i] == ';') break;
    const std::size_t start = i;
    std::string token;
    char quote = 0;
    for (; i < line.size(); ++i) {
      const char c = line[i];
      if (quote == 0 && IsBlank(c)) break;
      if (c == '\\' && quote != '\'' && i + 1 < line.size()) {
        token += line[++i];
      } else if (quote == 0 && (c == '"' || c == '\'')) {
        quote = c;
      } else if (quote != 0 && c == quote) {
        quote = 0;
      } else {
        token += c;
      }
    }
    tokens.push_back(std::move(token));
    raw.emplace_back(line.substr(start, i - start));
  }
  return tokens;
}

std::string Refusal(std::string_view what) {
  return "Refused: the profile uses \"" + std::string(what) + "\", which the kill-switch service does not run";
}

}  // namespace

CheckedArguments CheckOpenVpnArguments(std::string_view argument_string) {
  const std::vector<std::string> args = SplitArguments(argument_string);
  OpenVpnArguments result;
  std::set<std::string> seen;
  const auto refuse = [](const std::string& what) {
    return CheckedArguments{std::nullopt, "Refused: OpenVPN option \"" + what + "\" is not allowed"};
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    const auto value = [&](std::size_t k) -> const std::string* {
      return i + k < args.size() ? &args[i + k] : nullptr;
    };
    if (!seen.insert(option).second) return refuse(option);
    if (option == "--config" || option == "--auth-user-pass" || option == "--log") {
      const std::string* path = value(1);
      if (path == nullptr || path->empty() || path->starts_with("--")) return refuse(option);
      const std::filesystem::path p(*path);
      if (!p.is_absolute()) return {std::nullopt, "Refused: " + option + " needs an absolute path"};
      if (option == "--config") result.config = p;
      if (option == "--auth-user-pass") result.credentials = p;
      if (option == "--log") result.log = p;
      i += 1;
    } else if (option == "--management") {
      const std::string* host = value(1);
      const std::string* port = value(2);
      unsigned number = 0;
      if (host == nullptr || *host != "127.0.0.1" || port == nullptr || !IsCount(*port) ||
          std::from_chars(port->data(), port->data() + port->size(), number).ec != std::errc() || number == 0 ||
          number > 65535) {
        return refuse(option + (host != nullptr ? " " + *host : ""));
      }
      result.management_port = static_cast<std::uint16_t>(number);
      i += 2;
    } else if (option == "--verb" || option == "--connect-retry" || option == "--connect-timeout" ||
               option == "--connect-retry-max" || option == "--ping" || option == "--ping-restart") {
      const std::string* count = value(1);
      if (count == nullptr || !IsCount(*count)) return refuse(option);
      result.tuning.push_back(option);
      result.tuning.push_back(*count);
      i += 1;
    } else {
      return refuse(option);
    }
  }
  if (result.config.empty()) return {std::nullopt, "Refused: OPENVPN_START needs --config"};
  return {result, {}};
}

ReviewedProfile ReviewProfile(std::string_view text) {
  ReviewedProfile profile;
  if (text.find('\0') != std::string_view::npos) {
    profile.error = "Refused: the profile is not text";
    return profile;
  }
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  std::string inline_tag;  // inside <tag>...</tag>: data, copied as it is
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.size() > kMaxLine) {
      profile.error = "Refused: the profile has a line longer than 255 bytes";
      return profile;
    }
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view trimmed = line;
    while (!trimmed.empty() && IsBlank(trimmed.front())) trimmed.remove_prefix(1);
    if (!inline_tag.empty()) {
      if (trimmed.starts_with("</" + inline_tag + ">")) inline_tag.clear();
      profile.lines.push_back({std::string(line)});
      continue;
    }
    if (trimmed.starts_with("<")) {
      const std::size_t close = trimmed.find('>');
      const bool closing = trimmed.starts_with("</");
      const std::string tag(trimmed.substr(closing ? 2 : 1, close == std::string_view::npos ? 0 : close - (closing ? 2 : 1)));
      if (close == std::string_view::npos || (tag != "connection" && (closing || !IsInlineTag(tag)))) {
        profile.error = Refusal("<" + tag + ">");
        return profile;
      }
      if (!closing && tag != "connection") inline_tag = tag;
      profile.lines.push_back({std::string(line)});
      continue;
    }
    std::vector<std::string> raw;
    const std::vector<std::string> tokens = Tokens(line, raw);
    if (tokens.empty()) continue;
    // "setenv opt <directive> ..." makes OpenVPN run the directive, so that is what is checked.
    std::size_t first = 0;
    while (tokens.size() > first + 2 && tokens[first] == "setenv" && tokens[first + 1] == "opt") first += 2;
    std::string_view name = tokens[first];
    if (name.starts_with("--")) name.remove_prefix(2);
    const auto file = FileDirectives().find(name);
    if (file == FileDirectives().end() && !PlainDirectives().contains(name)) {
      profile.error = Refusal(name);
      return profile;
    }
    if (name == "crl-verify" && tokens.size() > first + 2) {  // "dir": a folder OpenVPN looks into
      profile.error = Refusal("crl-verify dir");
      return profile;
    }
    const std::size_t at = file == FileDirectives().end() ? 0 : first + file->second;
    if (at != 0 && at < tokens.size() && !IsFileKeyword(name, tokens[at])) {
      profile.files.push_back({profile.lines.size(), at, tokens[at]});
    }
    profile.lines.push_back(std::move(raw));
  }
  if (!inline_tag.empty()) profile.error = Refusal("<" + inline_tag + "> without its end");
  return profile;
}

std::optional<std::string> RewriteProfile(const ReviewedProfile& profile, const std::vector<std::string>& copies) {
  std::vector<std::vector<std::string>> lines = profile.lines;
  for (std::size_t i = 0; i < profile.files.size() && i < copies.size(); ++i) {
    lines[profile.files[i].line][profile.files[i].token] = QuoteArgument(copies[i]);
  }
  std::string text;
  for (const auto& tokens : lines) {
    std::string line;
    for (std::size_t i = 0; i < tokens.size(); ++i) line += (i == 0 ? "" : " ") + tokens[i];
    if (line.size() > kMaxLine) return std::nullopt;
    text += line + '\n';
  }
  return text;
}

}  // namespace vlvpn::service
