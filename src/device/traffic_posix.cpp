#include "common/file_io.h"
#include "common/text.h"
#include "device/traffic.h"

namespace vlvpn {

std::optional<InterfaceCounters> ReadCounters(const ActiveAdapter& adapter) {
  const std::filesystem::path statistics =
      std::filesystem::path("/sys/class/net") / adapter.name / "statistics";
  const auto read = [&statistics](const char* name) -> std::optional<std::uint64_t> {
    std::string text = ReadFileBytes(statistics / name).value_or("");
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return ParseDecimal(text, UINT64_MAX);
  };
  const auto in = read("rx_bytes");
  const auto out = read("tx_bytes");
  if (!in || !out) return std::nullopt;
  return InterfaceCounters{*in, *out};
}

}  // namespace vlvpn
