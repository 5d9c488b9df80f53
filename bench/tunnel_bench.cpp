// getStatus with a tunnel up, and how fast a dropped management connection is noticed.
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

#include "common/tcp_socket.h"
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

void BM_GetStatusWithTunnelUp(benchmark::State& state) {
  const vlvpn::DataLocations locations([] { return std::filesystem::temp_directory_path(); });
  auto tunnel = vlvpn::Tunnel::Create(locations, QuietEnvironment());
  tunnel->Status();  // the one adoption attempt
  tunnel->state().Update([](vlvpn::TunnelRecord& r) {
    r.state = "connected";
    r.profile_id = "home";
    r.process = vlvpn::ProcessHandle::Open(static_cast<std::uint32_t>(::getpid()));
  });
  for (auto _ : state) benchmark::DoNotOptimize(tunnel->Status());
}
BENCHMARK(BM_GetStatusWithTunnelUp);

// From the management connection closing (OpenVPN or its server gone) to the record
// saying "disconnected".
void BM_DropNoticed(benchmark::State& state) {
  for (auto _ : state) {
    TcpSocket listener = TcpSocket::Listen(0);
    vlvpn::TunnelState record;
    vlvpn::TunnelMonitor monitor(record, {[] {}, [] {}, [](const std::filesystem::path&) { return std::string(); }});
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
