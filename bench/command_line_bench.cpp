#include <benchmark/benchmark.h>

#include "common/arguments.h"
#include "tunnel/command_line.h"

namespace {

void BM_BuildOpenVpnArguments(benchmark::State& state) {
  const std::filesystem::path folder = "/home/ann lee/.local/share/VLVPNDesk/profiles/Z\xC3\xBCrich 1";
  for (auto _ : state) {
    benchmark::DoNotOptimize(vlvpn::BuildOpenVpnArguments(folder / "server.ovpn", folder / "auth.txt",
                                                          folder / "openvpn.log", true));
  }
}
BENCHMARK(BM_BuildOpenVpnArguments);

void BM_SplitArguments(benchmark::State& state) {
  const std::string args = vlvpn::BuildOpenVpnArguments(
      "/p/a b/server.ovpn", std::filesystem::path("/p/a b/auth.txt"), "/p/a b/openvpn.log", true);
  for (auto _ : state) benchmark::DoNotOptimize(vlvpn::SplitArguments(args));
}
BENCHMARK(BM_SplitArguments);

}  // namespace
