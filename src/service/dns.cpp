#include "service/dns.h"

#include <arpa/inet.h>

#include <algorithm>

namespace vlvpn::service {
namespace {

// What the system resolver reads: three servers, six search domains in 256 bytes.
constexpr std::size_t kMaxServers = 3;
constexpr std::size_t kMaxDomains = 6;
constexpr std::size_t kMaxSearchLine = 256;
constexpr int kMaxForeignOptions = 256;

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  while (true) {
    const std::size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

std::string Join(const std::vector<std::string>& items) {
  if (items.empty()) return "-";
  std::string joined;
  for (const auto& item : items) joined += (joined.empty() ? "" : ",") + item;
  return joined;
}

template <typename Check>
bool ParseList(std::string_view text, std::size_t limit, Check check, std::vector<std::string>& into) {
  if (text == "-") return true;
  for (const std::string_view item : Split(text, ',')) {
    if (!check(item) || into.size() >= limit) return false;
    into.emplace_back(item);
  }
  return true;
}

void AddOnce(std::vector<std::string>& list, std::string_view item, std::size_t limit) {
  if (list.size() < limit && std::find(list.begin(), list.end(), item) == list.end()) list.emplace_back(item);
}

}  // namespace

// A unicast address a DNS server can have: not unspecified, loopback, link-local,
// multicast or broadcast (a tunnel's server is none of those; each breaks every lookup).
bool IsIpAddress(std::string_view text) {
  if (text.empty() || text.size() > 45) return false;
  unsigned char b[16];
  const std::string copy(text);
  if (::inet_pton(AF_INET, copy.c_str(), b) == 1) {
    return b[0] != 0 && b[0] != 127 && b[0] < 224 && !(b[0] == 169 && b[1] == 254);
  }
  if (::inet_pton(AF_INET6, copy.c_str(), b) != 1) return false;
  const bool zero_prefix = std::all_of(b, b + 10, [](unsigned char c) { return c == 0; });
  const bool mapped_or_compatible = zero_prefix && ((b[10] == 0xff && b[11] == 0xff) || (b[10] == 0 && b[11] == 0));
  return !mapped_or_compatible && b[0] != 0xff && !(b[0] == 0xfe && (b[1] & 0xc0) == 0x80);
}

// A host name's form: letters, digits, '-' inside labels, a last label that is no number.
bool IsDomainName(std::string_view text) {
  if (text.empty() || text.size() > 253 || text.front() == '.') return false;
  const std::vector<std::string_view> labels = Split(text.back() == '.' ? text.substr(0, text.size() - 1) : text, '.');
  for (const std::string_view label : labels) {
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
    for (const char c : label) {
      const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
      if (!ok) return false;
    }
  }
  return labels.back().find_first_not_of("0123456789") != std::string_view::npos;
}

bool IsDeviceName(std::string_view text) {
  if (text.empty() || text.size() > 15 || text == "." || text == "..") return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.';
  });
}

std::optional<DnsReport> DnsReportFromEnvironment(const std::function<const char*(const std::string&)>& variable) {
  const char* type = variable("script_type");
  const char* device = variable("dev");
  if (type == nullptr || device == nullptr || !IsDeviceName(device)) return std::nullopt;
  DnsReport report;
  report.dns.device = device;
  if (std::string_view(type) != "up") return std::nullopt;
  for (int i = 1; i <= kMaxForeignOptions; ++i) {
    const char* option = variable("foreign_option_" + std::to_string(i));
    if (option == nullptr) break;
    const std::vector<std::string_view> words = Split(option, ' ');
    if (words.size() != 3 || words[0] != "dhcp-option") continue;
    if ((words[1] == "DNS" || words[1] == "DNS6") && IsIpAddress(words[2])) {
      AddOnce(report.dns.servers, words[2], kMaxServers);
    } else if ((words[1] == "DOMAIN" || words[1] == "DOMAIN-SEARCH") && IsDomainName(words[2])) {
      std::size_t line = 6;  // "search"
      for (const auto& domain : report.dns.domains) line += domain.size() + 1;
      if (line + words[2].size() + 1 <= kMaxSearchLine) AddOnce(report.dns.domains, words[2], kMaxDomains);
    }
  }
  return report;
}

std::string FormatDnsReport(const DnsReport& report) {
  return "DNS_UP " + report.dns.device + " " + Join(report.dns.servers) + " " + Join(report.dns.domains);
}

std::optional<DnsReport> ParseDnsReport(std::string_view line) {
  const std::vector<std::string_view> words = Split(line, ' ');
  DnsReport report;
  if (words.size() != 4 || words[0] != "DNS_UP" || !IsDeviceName(words[1]) ||
      !ParseList(words[2], kMaxServers, IsIpAddress, report.dns.servers) ||
      !ParseList(words[3], kMaxDomains, IsDomainName, report.dns.domains) ||
      6 + words[3].size() + 1 > kMaxSearchLine) {
    return std::nullopt;
  }
  report.dns.device = words[1];
  return report;
}

std::string RenderResolvConf(const TunnelDns& dns) {
  std::string text = "# Velunor VPN: the resolvers of tunnel " + dns.device +
                     " while it is up; the previous file comes back when it ends.\n";
  for (const auto& server : dns.servers) text += "nameserver " + server + "\n";
  if (!dns.domains.empty()) {
    text += "search";
    for (const auto& domain : dns.domains) text += " " + domain;
    text += "\n";
  }
  return text;
}

}  // namespace vlvpn::service
