#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vlvpn {

// A port outside 1-65535 is 1194.
int NormalizeLatencyPort(std::int32_t port);
// The TCP ports tried, in order: the port (unless 443), 1194, 80, 443, without repeats.
std::vector<int> LatencyCandidatePorts(int port);

// One ICMP echo with 32 zero bytes; the round trip in ms, nullopt without a reply.
std::optional<int> IcmpEchoMilliseconds(const std::string& host, std::chrono::milliseconds timeout);
// The time a TCP connection to host:port takes; a refused connection counts as an
// answer. nullopt when unreachable within the time-out.
std::optional<int> TcpConnectMilliseconds(const std::string& host, int port,
                                          std::chrono::milliseconds timeout);

// ICMP first, then TCP on the candidate ports; at least 1 when reachable, 0 when not.
int MeasureLatency(const std::string& host, std::int32_t port);

}  // namespace vlvpn
