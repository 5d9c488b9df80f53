#include "device/latency.h"

#include <algorithm>

namespace vlvpn {

using namespace std::chrono_literals;

int NormalizeLatencyPort(std::int32_t port) { return port >= 1 && port <= 65535 ? port : 1194; }

std::vector<int> LatencyCandidatePorts(int port) {
  std::vector<int> ports;
  for (const int candidate : {port == 443 ? 0 : port, 1194, 80, 443}) {
    if (candidate >= 1 && candidate <= 65535 &&
        std::find(ports.begin(), ports.end(), candidate) == ports.end()) {
      ports.push_back(candidate);
    }
  }
  return ports;
}

int MeasureLatency(const std::string& host, std::int32_t requested_port) {
  const int port = NormalizeLatencyPort(requested_port);
  if (const auto echo = IcmpEchoMilliseconds(host, 2000ms)) return std::max(*echo, 1);
  for (const int candidate : LatencyCandidatePorts(port)) {
    if (const auto connect = TcpConnectMilliseconds(host, candidate, candidate == 443 ? 600ms : 900ms)) {
      return std::max(*connect, 1);
    }
  }
  return 0;
}

}  // namespace vlvpn
