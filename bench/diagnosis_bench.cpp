// Diagnosis of a large log: time should grow with the log's size, memory should not.
#include <sys/resource.h>

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "tunnel/diagnosis.h"

namespace {

namespace fs = std::filesystem;

// A log of `megabytes` of ordinary OpenVPN chatter, with no rule until its last lines.
fs::path MakeLog(std::size_t megabytes) {
  const fs::path path = fs::temp_directory_path() / ("vlvpn-bench-" + std::to_string(megabytes) + "mb.log");
  if (fs::exists(path) && fs::file_size(path) >= megabytes << 20) return path;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  const char* lines[] = {
      "2026-12-06 17:19:27 Data Channel: cipher 'AES-256-GCM', peer-id: 0\n",
      "2026-12-06 17:19:27 Timers: ping 10, ping-restart 60\n",
      "2026-12-06 17:19:27 UDPv4 link remote: [AF_INET]203.0.113.7:1194\n",
      "2026-12-06 17:19:28 TLS: soft reset sec=3600/3600 bytes=0/-1 pkts=0/0\n",
      "2026-12-06 17:19:28 VERIFY OK: depth=1, CN=Velunor CA\n",
  };
  std::size_t written = 0;
  for (std::size_t i = 0; written < (megabytes << 20); ++i) {
    const std::string line = lines[i % 5];
    out << line;
    written += line.size();
  }
  out << "2026-12-06 18:00:00 [server] Inactivity timeout (--ping-restart), restarting\n"
      << "2026-12-06 18:00:02 Server poll timeout, restarting\n";
  return path;
}

long MaxRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void BM_DiagnoseLargeLog(benchmark::State& state) {
  const auto megabytes = static_cast<std::size_t>(state.range(0));
  const fs::path log = MakeLog(megabytes);
  const long rss_before = MaxRssKb();
  for (auto _ : state) benchmark::DoNotOptimize(vlvpn::DiagnoseLog(log));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(fs::file_size(log)));
  state.counters["peak_rss_growth_kb"] = static_cast<double>(MaxRssKb() - rss_before);
}
BENCHMARK(BM_DiagnoseLargeLog)->Arg(5)->Arg(50)->Unit(benchmark::kMillisecond);

}  // namespace
