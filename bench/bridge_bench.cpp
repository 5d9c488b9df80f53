// The bridge as the interface feels it: calls through the stdio host, round trips to
// a real VLVPNDesk --stdio, and what that process holds while idle.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <streambuf>
#include <thread>
#include <string>
#include <vector>

#include "app/stdio_host.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

namespace {

using namespace std::chrono_literals;

// Counts bytes and drops them: the interface's side of the pipe, infinitely fast.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// Pipelined calls through the host alone (parse, dispatch, settle, write): a call
// that does nothing, and getStatus as the interface polls it.
void BM_BridgePipelinedCalls(benchmark::State& state, const char* method) {
  vlvpn::testing::TempFolder root;
  auto services = std::make_shared<vlvpn::ModuleServices>(vlvpn::DataLocations([&] { return root.path(); }));
  NullBuffer sink;
  std::ostream out(&sink);
  vlvpn::StdioHost host(std::make_shared<vlvpn::LineWriter>(out), services);
  constexpr int kBatch = 1000;
  std::vector<std::string> lines;
  for (int i = 0; i < kBatch; ++i) {
    lines.push_back(R"({"id":)" + std::to_string(i) + R"(,"module":"VLVPNTunnel","method":")" + method +
                    R"(","args":[]})");
  }
  for (auto _ : state) {
    for (const std::string& line : lines) host.Serve(line);
    host.WaitUntilSettled();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK_CAPTURE(BM_BridgePipelinedCalls, wasLaunchedAtStartup, "wasLaunchedAtStartup")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BridgePipelinedCalls, getStatus, "getStatus")->Unit(benchmark::kMillisecond);

// VLVPNDesk --stdio with its data in `root`, once it has said hello; null when it did not.
std::unique_ptr<vlvpn::testing::ChildProcess> StartDesk(const vlvpn::testing::TempFolder& root,
                                                        benchmark::State& state) {
  auto desk = std::make_unique<vlvpn::testing::ChildProcess>(
      vlvpn::testing::SiblingProgram("VLVPNDesk"), std::vector<std::string>{"--stdio"},
      vlvpn::testing::ChildProcess::Environment{
          {"VLVPN_DATA_ROOT", root.path().string()},
          {"VLVPN_KILLSWITCH_SOCKET", (root.path() / "none.sock").string()}});
  if (desk->ReadLine(10s)) return desk;
  state.SkipWithError("no hello from VLVPNDesk");
  return nullptr;
}

// One call at a time to the real process over its pipes, as a polling interface
// makes them; p50 and p99 of the round trip.
void BM_BridgeRoundTrip(benchmark::State& state) {
  vlvpn::testing::TempFolder root;
  const auto desk = StartDesk(root, state);
  if (!desk) return;
  std::vector<double> micros;
  int id = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    desk->Write(R"({"id":)" + std::to_string(++id) + R"(,"module":"VLVPNTunnel","method":"getStatus"})" "\n");
    if (!desk->ReadLine(5s)) {
      state.SkipWithError("no answer");
      return;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(micros.begin(), micros.end());
  state.counters["p50_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[micros.size() * 99 / 100];
}
BENCHMARK(BM_BridgeRoundTrip)->Iterations(5000)->Unit(benchmark::kMicrosecond);

// The resident memory of VLVPNDesk --stdio once it has said hello and sits idle.
void BM_IdleMemoryAfterHello(benchmark::State& state) {
  for (auto _ : state) {
    vlvpn::testing::TempFolder root;
    const auto desk = StartDesk(root, state);
    if (!desk) return;
    std::this_thread::sleep_for(500ms);  // let start-up work settle
    std::ifstream status("/proc/" + std::to_string(desk->pid()) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("VmRSS:")) state.counters["VmRSS_kB"] = std::stod(line.substr(6));
    }
  }
}
BENCHMARK(BM_IdleMemoryAfterHello)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
