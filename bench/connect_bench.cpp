// Connect overhead: VLVPNDesk's connect until the record says "connected", against bare
// OpenVPN until its management interface says CONNECTED, same profile and server.
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <future>
#include <thread>

#include "common/file_io.h"
#include "common/tcp_socket.h"
#include "killswitch/elevation_posix.h"
#include "support/child_process.h"
#include "support/temp_folder.h"
#include "tunnel/tunnel.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kOpenVpn = "/usr/sbin/openvpn";

struct Loopback {
  vlvpn::testing::TempFolder temp;
  std::uint16_t server_port = vlvpn::TcpSocket::Listen(0).LocalPort();
  std::unique_ptr<vlvpn::testing::ChildProcess> server;
  fs::path profile;

  Loopback() {
    const fs::path pki = temp.path() / "pki";
    std::system(("bash " VLVPN_SOURCE_DIR "/testing/openvpn/pki.sh '" + pki.string() + "'").c_str());
    server = std::make_unique<vlvpn::testing::ChildProcess>(
        kOpenVpn,
        std::vector<std::string>{"--dev", "null", "--tls-server", "--dh", "none", "--ca", (pki / "ca.crt").string(),
                                 "--cert", (pki / "server.crt").string(), "--key", (pki / "server.key").string(),
                                 "--proto", "udp", "--lport", std::to_string(server_port)},
        vlvpn::testing::ChildProcess::Environment{});
    profile = temp.path() / "data" / "VLVPNDesk" / "profiles" / "home";
    fs::create_directories(profile);
    vlvpn::WriteFileAtomically(profile / "home.ovpn", "dev null\ntls-client\nnobind\nremote 127.0.0.1 " +
                                                          std::to_string(server_port) + "\nproto udp\nca " +
                                                          (pki / "ca.crt").string() + "\ncert " +
                                                          (pki / "client.crt").string() + "\nkey " +
                                                          (pki / "client.key").string() + "\n");
    std::this_thread::sleep_for(300ms);
  }
};

void BM_BareOpenVpnToConnected(benchmark::State& state) {
  Loopback loopback;
  const std::uint16_t port = vlvpn::TcpSocket::Listen(0).LocalPort();
  for (auto _ : state) {
    const auto start = Clock::now();
    const std::string args = vlvpn::BuildOpenVpnArguments(loopback.profile / "home.ovpn", std::nullopt,
                                                          loopback.profile / "bare.log", false, port);
    const vlvpn::ElevatedStart started = vlvpn::StartElevatedVia("", kOpenVpn, args);
    std::shared_ptr<vlvpn::ManagementConnection> connection;
    while (!connection) connection = vlvpn::ManagementConnection::Open(port);
    while (vlvpn::QueryState(*connection) != "connected") std::this_thread::sleep_for(5ms);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    connection->Send("signal SIGTERM");
    started.process->WaitForExit(5s);
  }
}
BENCHMARK(BM_BareOpenVpnToConnected)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_ConnectOvpnToConnected(benchmark::State& state) {
  Loopback loopback;
  vlvpn::TunnelEnvironment env;
  env.locate_openvpn = [] { return fs::path(kOpenVpn); };
  env.ensure_tap = [](const fs::path&) { return true; };
  env.launch = [](const fs::path& program, const std::string& args) {
    const vlvpn::ElevatedStart started = vlvpn::StartElevatedVia("", program, args);
    return vlvpn::LaunchOutcome{started.started, started.process, false, {}};
  };
  env.transact = [](std::string_view) { return std::string(); };
  env.resolve = [](const std::string&) { return std::vector<std::string>{}; };
  env.find_openvpn_process = [](std::uint16_t) { return 0u; };
  env.open_process = [](std::uint32_t) { return nullptr; };
  env.sample_traffic = [] { return vlvpn::TrafficSampler::Rates{}; };
  env.reset_traffic = [] {};
  env.adapter_up = [] { return false; };
  env.management_port = vlvpn::TcpSocket::Listen(0).LocalPort();
  env.windows_driver = false;
  if (const char* pass = std::getenv("VLVPN_BENCH_PASS_MS")) env.management_pass = std::chrono::milliseconds(std::atoi(pass));
  const fs::path root = loopback.temp.path() / "data";
  auto tunnel = vlvpn::Tunnel::Create(vlvpn::DataLocations([root] { return root; }), env);
  tunnel->Status();
  for (auto _ : state) {
    const auto start = Clock::now();
    tunnel->Connect("home", "", "", "home.ovpn", vlvpn::Promise([](auto) {}, [](auto) {}));
    while (tunnel->state().Snapshot().state != "connected") std::this_thread::sleep_for(5ms);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    std::promise<void> done;
    tunnel->Disconnect(vlvpn::Promise([&done](auto) { done.set_value(); }, [&done](auto) { done.set_value(); }));
    done.get_future().wait();
  }
}
BENCHMARK(BM_ConnectOvpnToConnected)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
