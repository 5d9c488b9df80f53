// The Linux kill-switch service for real (root): how soon ENABLE blocks traffic, and how
// soon after a dropped tunnel the client has the kill switch applied again. The service
// runs in a network namespace of the benchmark's own; the measuring thread joins it.
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "common/file_io.h"
#include "common/tcp_socket.h"
#include "played_openvpn.h"
#include "common/unique_fd.h"
#include "killswitch/pipe_client.h"
#include "support/child_process.h"
#include "support/temp_folder.h"
#include "tunnel/tunnel.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using vlvpn::bench::PlayedOpenVpn;

// vlvpn-killswitchd in namespace "vlvpn-bench-<pid>", with a veth pair, 198.18.0.1/24 on one end.
class ServiceInNamespace {
 public:
  ServiceInNamespace() : name_("vlvpn-bench-" + std::to_string(::getpid())) {
    if (::geteuid() != 0) return;
    const std::string ns = "ip netns exec " + name_ + " ";
    if (std::system(("ip netns add " + name_ + " && " + ns + "ip link set lo up && " + ns +
                     "ip link add vlbench0 type veth peer name vlbench1 && " + ns + "ip link set vlbench1 up && " + ns +
                     "ip addr add 198.18.0.1/24 dev vlbench0 && " + ns + "ip link set vlbench0 up && " + ns +
                     // A neighbour that needs no ARP: datagrams leave at once instead of queueing.
                     "ip neigh add 198.18.0.2 lladdr 02:00:00:00:00:02 dev vlbench0 nud permanent").c_str()) != 0) {
      return;
    }
    socket_ = (folder_.path() / "ks.sock").string();
    service_ = std::make_unique<vlvpn::testing::ChildProcess>(
        "/usr/sbin/ip",
        std::vector<std::string>{"netns", "exec", name_, vlvpn::testing::SiblingProgram("vlvpn-killswitchd").string(),
                                 "--socket", socket_, "--state-dir", (folder_.path() / "state").string(),
                                 "--dns-state-dir", (folder_.path() / "dns").string(), "--resolv-conf",
                                 (folder_.path() / "resolv.conf").string()},
        vlvpn::testing::ChildProcess::Environment{});
    for (int i = 0; i < 200 && Ask("PING") != "PONG"; ++i) std::this_thread::sleep_for(10ms);
    ready_ = Ask("PING") == "PONG";
  }
  ~ServiceInNamespace() {
    service_.reset();
    if (ready_ || ::geteuid() == 0) std::system(("ip netns del " + name_ + " 2>/dev/null").c_str());
  }
  bool ready() const { return ready_; }
  std::string Ask(std::string_view command) const {
    return vlvpn::TrimReply(vlvpn::ExchangeOnce(socket_, std::string(command) + "\n", nullptr, {}));
  }
  // Moves the calling thread into the namespace.
  bool Enter() const {
    const vlvpn::UniqueFd ns(::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC));
    return ns.valid() && ::setns(ns.get(), CLONE_NEWNET) == 0;
  }

 private:
  std::string name_;
  vlvpn::testing::TempFolder folder_;
  std::string socket_;
  std::unique_ptr<vlvpn::testing::ChildProcess> service_;
  bool ready_ = false;
};

// ENABLE sent to the first datagram the kernel refuses to send outside the tunnel.
void BM_KillSwitchEnableToFirstDrop(benchmark::State& state) {
  const ServiceInNamespace service;
  if (!service.ready()) return state.SkipWithError("needs root, ip and nftables");
  std::thread measuring([&] {
    if (!service.Enter()) return state.SkipWithError("cannot enter the namespace");
    const vlvpn::UniqueFd udp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in outside{};
    outside.sin_family = AF_INET;
    outside.sin_port = htons(9);
    outside.sin_addr.s_addr = htonl(0xC6120002);  // 198.18.0.2, beyond the veth pair
    // False once the firewall refuses it (EPERM); a full send buffer is no refusal.
    const auto send_one = [&] {
      return ::sendto(udp.get(), "x", 1, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&outside), sizeof outside) == 1 ||
             errno != EPERM;
    };
    for (auto _ : state) {
      service.Ask("DISABLE");
      if (!send_one()) return state.SkipWithError("traffic blocked without a kill switch");
      const auto start = Clock::now();
      std::thread asking([&] { service.Ask("ENABLE udp 1194 1 198.18.0.9 /opt/vlvpn/VLVPNDesk"); });
      const auto deadline = start + 5s;
      while (send_one() && Clock::now() < deadline) {
      }
      state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
      asking.join();
    }
    service.Ask("DISABLE");
  });
  measuring.join();
}
BENCHMARK(BM_KillSwitchEnableToFirstDrop)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(50);

// The management connection closes (the tunnel died) to the service's "OK" for the
// ENABLE the client sends to keep traffic blocked; the client's part of it (noticing the
// drop) is in BM_DropNoticed.
void BM_DropToKillSwitchReapplied(benchmark::State& state) {
  const ServiceInNamespace service;
  if (!service.ready()) return state.SkipWithError("needs root, ip and nftables");
  std::atomic<int> enables{0};
  std::atomic<Clock::rep> enabled_at{0};
  vlvpn::TunnelEnvironment env;
  env.transact = [&](std::string_view command) {
    std::string reply = service.Ask(command);
    if (command.starts_with("ENABLE") && reply == "OK") {
      enabled_at = Clock::now().time_since_epoch().count();
      ++enables;
    }
    return reply;
  };
  env.resolve = [](const std::string&) { return std::vector<std::string>{"198.18.0.9"}; };
  env.find_openvpn_process = [](std::uint16_t) { return static_cast<std::uint32_t>(::getpid()); };
  env.open_process = [](std::uint32_t pid) { return vlvpn::ProcessHandle::Open(pid); };
  env.sample_traffic = [] { return vlvpn::TrafficSampler::Rates{0, 0}; };
  env.reset_traffic = [] {};
  env.adapter_up = [] { return true; };
  env.management_port = vlvpn::TcpSocket::Listen(0).LocalPort();
  vlvpn::testing::TempFolder data;
  const vlvpn::DataLocations locations([&] { return data.path(); });
  // What a connect left for adoption: the server the kill switch lets through.
  std::filesystem::create_directories(data.path() / "VLVPNDesk");
  vlvpn::WriteFileAtomically(data.path() / "VLVPNDesk" / "killswitch.txt", "udp\n1194\n198.18.0.9");
  // Spins with a way out: a missing command must not hang the run.
  const auto wait_until = [&](const auto& done) {
    const auto deadline = Clock::now() + 5s;
    while (!done() && Clock::now() < deadline) std::this_thread::yield();
    return done();
  };
  for (auto _ : state) {
    PlayedOpenVpn openvpn(env.management_port);
    auto tunnel = vlvpn::Tunnel::Create(locations, env);
    if (tunnel->Status().state != "connected") return state.SkipWithError("the played tunnel was not adopted");
    std::atomic<bool> on{false};
    tunnel->SetKillSwitchEnabled(true, [&] { on = true; });
    const int before = enables.load();
    if (!wait_until([&] { return on && enables.load() > before; })) {  // ENABLE 1 while connected
      return state.SkipWithError("no ENABLE for a connected tunnel");
    }
    std::this_thread::sleep_for(20ms);
    const auto start = Clock::now();
    openvpn.Drop();
    if (!wait_until([&] { return enables.load() > before + 1; })) return state.SkipWithError("no ENABLE after the drop");
    const auto end = Clock::time_point(Clock::duration(enabled_at.load()));
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
  service.Ask("DISABLE");
  service.Ask("UNBLOCK_IPV6");
}
BENCHMARK(BM_DropToKillSwitchReapplied)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace
