// Connect overhead: the tunnel's connect until the record says "connected", against bare
// OpenVPN until its log says the initialisation completed, same profile and server,
// paired round by round.
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <future>
#include <random>
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
        std::vector<std::string>{"--dev", "null", "--tls-server", "--dh", "none", "--ca",
                                 (pki / "ca.crt").string(), "--cert", (pki / "server.crt").string(), "--key",
                                 (pki / "server.key").string(), "--proto", "udp", "--lport",
                                 std::to_string(server_port)},
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

// OpenVPN runs its timers on whole wall-clock seconds, so the time to CONNECTED
// depends on where in a second it starts. Each round starts bare OpenVPN and the
// tunnel at the same random offset into a second, so the pair sees the same phase.
void SleepToOffsetInSecond(std::chrono::milliseconds offset) {
  const auto now = std::chrono::system_clock::now();
  const auto into = now - std::chrono::floor<std::chrono::seconds>(now);
  auto wait = offset - std::chrono::duration_cast<std::chrono::milliseconds>(into);
  if (wait < 0ms) wait += 1000ms;
  std::this_thread::sleep_for(wait);
}

// Bare OpenVPN left alone: nothing talks to it, its log alone says when it is up. A
// poller on its management port would wake its event loop and bring its one-second
// timers forward, which no user's OpenVPN gets either.
double BareSecondsToConnected(const Loopback& loopback, std::uint16_t port) {
  const fs::path log = loopback.profile / "bare.log";
  fs::remove(log);
  const auto start = Clock::now();
  const std::string args =
      vlvpn::BuildOpenVpnArguments(loopback.profile / "home.ovpn", std::nullopt, log, false, port);
  const vlvpn::ElevatedStart started = vlvpn::StartElevatedVia("", kOpenVpn, args);
  while (vlvpn::ReadFileBytes(log).value_or("").find("Initialization Sequence Completed") ==
         std::string::npos)
    std::this_thread::sleep_for(5ms);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  kill(static_cast<pid_t>(started.process->pid()), SIGTERM);
  started.process->WaitForExit(5s);
  return seconds;
}

std::unique_ptr<vlvpn::Tunnel> BenchTunnel(const Loopback& loopback) {
  vlvpn::TunnelEnvironment env;
  env.locate_openvpn = [] { return fs::path(kOpenVpn); };
  env.ensure_tap = [](const fs::path&) { return true; };
  env.launch = [](const fs::path& program, const std::string& args, std::function<bool()>) {
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
  const fs::path root = loopback.temp.path() / "data";
  auto tunnel = vlvpn::Tunnel::Create(vlvpn::DataLocations([root] { return root; }), env);
  tunnel->Status();
  return tunnel;
}

double TunnelSecondsToConnected(vlvpn::Tunnel& tunnel) {
  const auto start = Clock::now();
  tunnel.Connect({"home", "", "", "home.ovpn"}, [](const vlvpn::ConnectResult&) {});
  while (tunnel.Snapshot()->state() != "connected") std::this_thread::sleep_for(5ms);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::promise<void> done;
  tunnel.Disconnect([&done] { done.set_value(); });
  done.get_future().wait();
  return seconds;
}

// Time reported is the tunnel's; counters give bare OpenVPN's and the ratio.
void BM_ConnectOvpnToConnected(benchmark::State& state) {
  Loopback loopback;
  const std::uint16_t bare_port = vlvpn::TcpSocket::Listen(0).LocalPort();
  auto tunnel = BenchTunnel(loopback);
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> offset_ms(0, 999);
  double bare_total = 0;
  double tunnel_total = 0;
  for (auto _ : state) {
    const std::chrono::milliseconds offset(offset_ms(random));
    SleepToOffsetInSecond(offset);
    bare_total += BareSecondsToConnected(loopback, bare_port);
    SleepToOffsetInSecond(offset);
    const double seconds = TunnelSecondsToConnected(*tunnel);
    tunnel_total += seconds;
    state.SetIterationTime(seconds);
  }
  const auto rounds = static_cast<double>(state.iterations());
  state.counters["bare_ms"] = 1000 * bare_total / rounds;
  state.counters["tunnel_ms"] = 1000 * tunnel_total / rounds;
  state.counters["ratio"] = tunnel_total / bare_total;
}
BENCHMARK(BM_ConnectOvpnToConnected)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);

}  // namespace
