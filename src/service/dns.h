#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vlvpn::service {

// The resolvers a tunnel was given: pushed by its server, or the profile's own.
struct TunnelDns {
  std::string device;
  std::vector<std::string> servers;  // IPv4 and IPv6 addresses, checked
  std::vector<std::string> domains;  // search domains, checked
};

// What the service's helper reports from OpenVPN: the tunnel is up with these
// resolvers. Its end needs no report: the service sees OpenVPN end.
struct DnsReport {
  TunnelDns dns;
};

// From the environment OpenVPN gives its scripts: script_type, dev and the
// foreign_option_N it was pushed ("dhcp-option DNS|DNS6|DOMAIN|DOMAIN-SEARCH value";
// OpenVPN 2.6 writes its "dns" option there too). What is no address or name is left out.
std::optional<DnsReport> DnsReportFromEnvironment(const std::function<const char*(const std::string&)>& variable);

// The helper's one line to the service ("DNS_UP tun0 10.8.0.1,fd00::1 corp.example",
// "-" for an empty list), and the service's strict reading of it.
std::string FormatDnsReport(const DnsReport& report);
std::optional<DnsReport> ParseDnsReport(std::string_view line);

// The resolver file for a tunnel's servers.
std::string RenderResolvConf(const TunnelDns& dns);

bool IsIpAddress(std::string_view text);
bool IsDomainName(std::string_view text);
bool IsDeviceName(std::string_view text);

}  // namespace vlvpn::service
