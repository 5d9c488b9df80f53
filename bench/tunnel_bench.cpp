// getStatus with a tunnel up, and how fast a dropped management connection is noticed.
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <chrono>
#include <cstring>
#include <vector>
#include <thread>

#include "common/tcp_socket.h"
#include "played_openvpn.h"
#include "common/unique_fd.h"
#include "modules/velunor_modules.h"
#include "tunnel/tunnel.h"

namespace {

using namespace std::chrono_literals;
using vlvpn::TcpSocket;
using vlvpn::bench::PlayedOpenVpn;

vlvpn::TunnelEnvironment QuietEnvironment() {
  vlvpn::TunnelEnvironment env;
  env.transact = [](std::string_view) { return std::string(); };
  env.resolve = [](const std::string&) { return std::vector<std::string>{}; };
  // The "OpenVPN" on the port is this process, played by PlayedOpenVpn.
  env.find_openvpn_process = [](std::uint16_t) { return static_cast<std::uint32_t>(::getpid()); };
  env.open_process = [](std::uint32_t pid) { return vlvpn::ProcessHandle::Open(pid); };
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

// The whole status as the interface polls it (the tunnel's status and its object), with
// the system's traffic sampler and adapter check, while the controller follows a tunnel
// that is up; reports the 99th percentile of single calls too.
void BM_GetStatusWithTunnelUp(benchmark::State& state) {
  const UpTunDevice tun;
  const vlvpn::DataLocations locations([] { return std::filesystem::temp_directory_path(); });
  vlvpn::TunnelEnvironment env = QuietEnvironment();
  const vlvpn::TunnelEnvironment system = vlvpn::SystemTunnelEnvironment(nullptr);
  env.sample_traffic = system.sample_traffic;
  env.reset_traffic = system.reset_traffic;
  env.adapter_up = system.adapter_up;
  const PlayedOpenVpn openvpn(env.management_port);
  auto tunnel = vlvpn::Tunnel::Create(locations, env);
  if (tunnel->Status().state != "connected") state.SkipWithError("the played tunnel was not adopted");
  std::vector<double> calls;
  calls.reserve(1 << 20);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(vlvpn::StatusObject(tunnel->Status()));
    if (calls.size() < calls.capacity())
      calls.push_back(
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(calls.begin(), calls.end());
  if (!calls.empty()) state.counters["p99_us"] = calls[calls.size() * 99 / 100];
  state.counters["tun_up"] = tun.up() ? 1 : 0;
  state.counters["adapter_seen"] = tunnel->Status().adapter_up ? 1 : 0;
}
BENCHMARK(BM_GetStatusWithTunnelUp);

// From the management connection closing (OpenVPN or its server gone) to the published
// state saying "disconnected".
void BM_DropNoticed(benchmark::State& state) {
  const vlvpn::DataLocations locations([] { return std::filesystem::temp_directory_path(); });
  for (auto _ : state) {
    const vlvpn::TunnelEnvironment env = QuietEnvironment();
    PlayedOpenVpn openvpn(env.management_port);
    auto tunnel = vlvpn::Tunnel::Create(locations, env);
    if (tunnel->Status().state != "connected") state.SkipWithError("the played tunnel was not adopted");
    std::this_thread::sleep_for(20ms);  // the played side has answered and left
    const auto start = std::chrono::steady_clock::now();
    openvpn.Drop();
    while (tunnel->Snapshot()->state() != "disconnected") std::this_thread::yield();
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
}
BENCHMARK(BM_DropNoticed)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace
