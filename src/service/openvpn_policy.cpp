#include "service/openvpn_policy.h"

#include <charconv>
#include <map>
#include <set>

#include "common/arguments.h"
#include "service/profile_syntax.h"

namespace vlvpn::service {
namespace {

bool IsCount(std::string_view text) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && text.size() <= 7 && error == std::errc() && end == text.data() + text.size();
}

// Client directives that neither run nor load anything and name no file.
const std::set<std::string, std::less<>>& PlainDirectives() {
  static const std::set<std::string, std::less<>> names = {
      "allow-compression", "allow-pull-fqdn", "allow-recursive-routing", "auth", "auth-nocache", "auth-retry",
      "auth-token-user", "bind", "block-ipv6", "cipher", "client", "comp-lzo", "comp-noadapt", "compat-mode",
      "compress", "connect-retry", "connect-retry-max", "connect-timeout", "data-ciphers", "data-ciphers-fallback",
      "dev", "dev-type", "dhcp-option", "disable-occ", "dns", "down-pre", "ecdh-curve", "explicit-exit-notify",
      "fast-io", "float", "fragment", "hand-window", "http-proxy-option", "http-proxy-retry", "http-proxy-timeout",
      "ifconfig", "ifconfig-ipv6", "ifconfig-noexec", "ifconfig-nowarn", "ignore-unknown-option", "inactive",
      "keepalive", "key-direction", "key-method", "link-mtu", "local", "lport", "mark", "mssfix", "mtu-disc",
      "mtu-test", "mute", "mute-replay-warnings", "ncp-ciphers", "nobind", "ns-cert-type", "passtos",
      "persist-key", "persist-local-ip", "persist-remote-ip", "persist-tun", "ping", "ping-exit", "ping-restart",
      "ping-timer-rem", "port", "proto", "pull", "pull-filter", "push-peer-info", "rcvbuf", "redirect-gateway",
      "redirect-private", "remote", "remote-cert-eku", "remote-cert-ku", "remote-cert-tls", "remote-random",
      "remote-random-hostname", "reneg-bytes", "reneg-pkts", "reneg-sec", "replay-window", "resolv-retry", "route",
      "route-delay", "route-gateway", "route-ipv6", "route-ipv6-gateway", "route-metric", "route-noexec",
      "route-nopull", "rport", "server-poll-timeout", "setenv", "setenv-safe", "single-session", "sndbuf",
      "socket-flags", "socks-proxy-retry", "static-challenge", "suppress-timestamps", "tls-cert-profile",
      "tls-cipher", "tls-ciphersuites", "tls-client", "tls-exit", "tls-groups", "tls-timeout", "tls-version-max",
      "tls-version-min", "topology", "tran-window", "tun-ipv6", "tun-mtu", "tun-mtu-extra", "tun-mtu-max",
      "txqueuelen", "verb", "verify-x509-name", "x509-track"};
  return names;
}

// Harmless directives that OpenVPN 2.6 on Linux does not know (Windows ones, and those it
// dropped): kept as "setenv opt", so that a profile made for Windows still starts.
const std::set<std::string, std::less<>>& ForeignDirectives() {
  static const std::set<std::string, std::less<>> names = {
      "block-outside-dns", "cryptoapicert", "dhcp-pre-release", "dhcp-release", "dhcp-renew", "ip-win32",
      "keysize", "ncp-disable", "register-dns", "route-method", "show-net-up", "tap-sleep", "win-sys",
      "windows-driver"};
  return names;
}

// Directives whose argument at this index (when present) is a file OpenVPN reads.
const std::map<std::string, std::size_t, std::less<>>& FileDirectives() {
  static const std::map<std::string, std::size_t, std::less<>> files = {
      {"askpass", 0}, {"auth-user-pass", 0}, {"ca", 0},     {"cert", 0},        {"crl-verify", 0},
      {"dh", 0},      {"extra-certs", 0},    {"key", 0},    {"pkcs12", 0},      {"secret", 0},
      {"tls-auth", 0}, {"tls-crypt", 0},     {"tls-crypt-v2", 0}, {"http-proxy", 2}, {"socks-proxy", 2}};
  return files;
}

// Blocks of data (<ca>...</ca>): never a path, never a directive.
bool TakesInlineData(std::string_view name) {
  return (FileDirectives().contains(name) && name != "askpass" && name != "http-proxy" && name != "socks-proxy") ||
         name == "http-proxy-user-pass" || name == "peer-fingerprint";
}

// Words in a file position that are no file.
bool IsFileKeyword(std::string_view directive, std::string_view token) {
  if (token == "[inline]") return true;
  if (directive == "http-proxy") return token == "auto" || token == "auto-nct" || token == "stdin";
  if (directive == "socks-proxy") return token == "stdin";
  return false;
}

// Names "setenv" may give: OpenVPN's own switches and the peer information it sends.
// Any other would reach the environment of the service's helper, which OpenVPN runs
// (LD_PRELOAD would make it run the user's code).
bool KeepsVariable(std::string_view name) {
  return name == "FORWARD_COMPATIBLE" || name == "PUSH_PEER_INFO" || name.starts_with("IV_") ||
         name.starts_with("UV_");
}

// OpenVPN is started under an account of its own already; other variables serve
// scripts, and the only script is the service's.
bool IsDropped(const Directive& directive) {
  const std::string_view name = directive.name;
  if (name == "setenv" && !directive.args.empty() && directive.args[0] != "opt") {
    return !KeepsVariable(directive.args[0]);
  }
  return name == "user" || name == "group";
}

std::string Refusal(std::string_view what) {
  return "Refused: the profile uses \"" + std::string(what) + "\", which the kill-switch service does not run";
}

// Checks one directive (and what a <connection> holds); lists its files. Empty when allowed.
std::string Check(Directive& directive, std::size_t index, std::size_t inner, ReviewedProfile& profile) {
  const std::string_view name = directive.name;
  if (directive.inline_data) return TakesInlineData(name) ? std::string() : Refusal("<" + directive.name + ">");
  if (ForeignDirectives().contains(name)) {
    directive.optional = true;
    return {};
  }
  const auto file = FileDirectives().find(name);
  if (file == FileDirectives().end() && !PlainDirectives().contains(name) && name != "peer-fingerprint") {
    return Refusal(name);
  }
  if (name == "crl-verify" && directive.args.size() > 1) return Refusal("crl-verify dir");  // a folder it looks into
  if (name == "setenv" && !directive.args.empty() && directive.args[0] == "opt") return Refusal("setenv opt");
  if (name == "keepalive" || name == "ping" || name == "ping-restart") profile.sets_ping = true;
  if (file != FileDirectives().end() && file->second < directive.args.size() &&
      !IsFileKeyword(name, directive.args[file->second])) {
    profile.files.push_back({index, inner, file->second, directive.args[file->second]});
  }
  return {};
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
      // Without a password any local user could stop or steer the tunnel.
      const std::string* password = value(3);
      if (password == nullptr || password->starts_with("--") || !std::filesystem::path(*password).is_absolute()) {
        return {std::nullopt, "Refused: --management needs the absolute path of a password file"};
      }
      result.management_port = static_cast<std::uint16_t>(number);
      result.management_password = *password;
      i += 3;
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
  ParsedProfile parsed = ParseProfile(text);
  if (!parsed.error.empty()) {
    profile.error = std::move(parsed.error);
    return profile;
  }
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  for (Directive& directive : parsed.directives) {
    if (IsDropped(directive)) continue;
    const std::size_t index = profile.directives.size();
    std::string error;
    if (directive.name == "connection" && !directive.inline_data) {
      std::vector<Directive> kept;
      for (Directive& inner : directive.block) {
        if (IsDropped(inner)) continue;
        error = Check(inner, index, kept.size(), profile);
        if (!error.empty()) break;
        kept.push_back(std::move(inner));
      }
      directive.block = std::move(kept);
    } else {
      error = Check(directive, index, kNone, profile);
    }
    if (!error.empty()) return {{}, {}, false, std::move(error)};
    profile.directives.push_back(std::move(directive));
  }
  return profile;
}

std::optional<std::string> RenderReviewedProfile(const ReviewedProfile& profile,
                                                 const std::vector<std::string>& copies) {
  std::vector<Directive> directives = profile.directives;
  for (std::size_t i = 0; i < profile.files.size() && i < copies.size(); ++i) {
    const NamedFile& file = profile.files[i];
    Directive& directive = directives[file.directive];
    (file.inner == static_cast<std::size_t>(-1) ? directive : directive.block[file.inner]).args[file.arg] = copies[i];
  }
  return RenderProfile(directives);
}

}  // namespace vlvpn::service
