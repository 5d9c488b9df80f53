// getStatus with a tunnel up, and how fast a dropped management connection is noticed.
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>
#include <thread>

#include "common/tcp_socket.h"
#include "common/unique_fd.h"
#include "tunnel/tunnel.h"

namespace {

using namespace std::chrono_literals;
using vlvpn::TcpSocket;

vlvpn::TunnelEnvironment QuietEnvironment() {
  vlvpn::TunnelEnvironment env;
  env.transact = [](std::string_view) { return std::string(); };
  env.resolve = [](const std::string&) { return std::vector<std::string>{}; };
  env.find_openvpn_process = [](std::uint16_t) { return 0u; };
  env.open_process = [](std::uint32_t) { return nullptr; };
  env.sample_traffic = [] { return vlvpn::TrafficSampler::Rates{1000, 2000}; };
  env.reset_traffic = [] {};
  env.adapter_up = [] { return true; };
  env.management_port = TcpSocket::Listen(0).LocalPort();
  return env;
}

// A tun device that is up, as OpenVPN leaves one, so the status reads real counters;
// needs root (without it the status still scans for one and finds none).
class UpTunDevice {
 public:
  UpTunDevice() : tun_(::open("/dev/net/tun", O_RDWR | O_CLOEXEC)) {
    ifreq request{};
    std::strncpy(request.ifr_name, "tunvlbench0", IFNAMSIZ - 1);
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    if (!tun_.valid() || ::ioctl(tun_.get(), TUNSETIFF, &request) != 0) return;
    const vlvpn::UniqueFd control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    request.ifr_flags = IFF_UP;
    up_ = control.valid() && ::ioctl(control.get(), SIOCSIFFLAGS, &request) == 0;
  }
  bool up() const { return up_; }

 private:
  vlvpn::UniqueFd tun_;
  bool up_ = false;
};

// The whole status as the interface polls it, with the system's traffic sampler and
// adapter check; reports the 99th percentile of single calls too.
void BM_GetStatusWithTunnelUp(benchmark::State& state) {
  const UpTunDevice tun;
  const vlvpn::DataLocations locations([] { return std::filesystem::temp_directory_path(); });
  vlvpn::TunnelEnvironment env = QuietEnvironment();
  const vlvpn::TunnelEnvironment system = vlvpn::SystemTunnelEnvironment(nullptr);
  env.sample_traffic = system.sample_traffic;
  env.reset_traffic = system.reset_traffic;
  env.adapter_up = system.adapter_up;
  auto tunnel = vlvpn::Tunnel::Create(locations, env);
  tunnel->Status();  // the one adoption attempt
  tunnel->state().Update([](vlvpn::TunnelRecord& r) {
    r.state = "connected";
    r.profile_id = "home";
    r.process = vlvpn::ProcessHandle::Open(static_cast<std::uint32_t>(::getpid()));
  });
  std::vector<double> calls;
  calls.reserve(1 << 20);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(tunnel->Status());
    if (calls.size() < calls.capacity())
      calls.push_back(
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(calls.begin(), calls.end());
  if (!calls.empty()) state.counters["p99_us"] = calls[calls.size() * 99 / 100];
  state.counters["tun_up"] = tun.up() ? 1 : 0;
  state.counters["adapter_seen"] = tunnel->Status()["adapterUp"] == true ? 1 : 0;
}
BENCHMARK(BM_GetStatusWithTunnelUp);
// From the management connection closing (OpenVPN or its server gone) to the record
// saying "disconnected".
void BM_DropNoticed(benchmark::State& state) {
  for (auto _ : state) {
    TcpSocket listener = TcpSocket::Listen(0);
    vlvpn::TunnelState record;
    vlvpn::TunnelMonitor monitor(record,
                                 {[] {}, [] {}, [](const std::filesystem::path&) { return std::string(); }});
    auto connection = vlvpn::ManagementConnection::Open(listener.LocalPort());
    TcpSocket server = listener.Accept(1s);
    record.Update([&](vlvpn::TunnelRecord& r) {
      r.state = "connected";
      r.management = connection;
    });
    monitor.Start(connection);
    std::this_thread::sleep_for(20ms);
    const auto start = std::chrono::steady_clock::now();
    server = TcpSocket();  // closed
    while (record.Snapshot().state != "disconnected") std::this_thread::yield();
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    monitor.Stop();
  }
}
BENCHMARK(BM_DropNoticed)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace
