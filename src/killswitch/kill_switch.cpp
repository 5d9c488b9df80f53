#include "killswitch/kill_switch.h"

#include <sstream>
#include <system_error>

#include "common/file_io.h"
#include "common/text.h"

namespace vlvpn {
namespace {

constexpr std::string_view kBlanksAndLineEnds = "\r\n ";

// Best effort: the files only help a later run adopt the tunnel.
void WriteQuietly(const std::filesystem::path& path, std::string_view text) {
  try {
    WriteFileAtomically(path, text);
  } catch (const std::exception&) {
  }
}

}  // namespace

ServerEndpoint ExtractEndpoint(std::string_view config) {
  ServerEndpoint endpoint;
  std::istringstream lines{std::string(config)};
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string first, second, third;
    words >> first >> second >> third;
    if (first == "remote") {
      endpoint.host = second;
      // A port no connection can have is no port: the service is never sent one.
      const std::int32_t port = ParsePortLine(third);
      endpoint.port = port >= 1 && port <= 65535 ? port : 0;
    } else if (first == "proto") {
      endpoint.protocol = second;
    }
  }
  return endpoint;
}

std::int32_t ParsePortLine(std::string_view line) {
  std::size_t i = 0;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  bool negative = false;
  if (i < line.size() && (line[i] == '+' || line[i] == '-')) negative = line[i++] == '-';
  std::size_t end = i;
  while (end < line.size() && line[end] >= '0' && line[end] <= '9') ++end;
  const auto value = ParseDecimal(line.substr(i, end - i), 2147483647);
  if (!value) return 0;
  return negative ? -static_cast<std::int32_t>(*value) : static_cast<std::int32_t>(*value);
}

std::string KillSwitchFileText(const KillSwitchFacts& facts) {
  return facts.protocol + "\n" + std::to_string(facts.port) + "\n" + facts.addresses;
}

KillSwitchFacts ParseKillSwitchFile(std::string_view text) {
  std::string lines[3];
  for (std::string& line : lines) {
    const std::size_t nl = text.find('\n');
    line = std::string(TrimTrailing(text.substr(0, nl), kBlanksAndLineEnds));
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
  }
  return {lines[0], ParsePortLine(lines[1]), lines[2]};
}

std::string ParseActiveFile(std::string_view text) { return std::string(TrimTrailing(text, kBlanksAndLineEnds)); }

void KillSwitchFiles::WriteFacts(const KillSwitchFacts& facts) const {
  WriteQuietly(locations_.KillSwitchFile(), KillSwitchFileText(facts));
}

void KillSwitchFiles::WriteActive(const std::string& profile_id) const {
  WriteQuietly(locations_.ActiveFile(), profile_id);
}

KillSwitchFacts KillSwitchFiles::ReadFacts() const {
  return ParseKillSwitchFile(ReadFileBytes(locations_.KillSwitchFile()).value_or(std::string()));
}

std::string KillSwitchFiles::ReadActive() const {
  return ParseActiveFile(ReadFileBytes(locations_.ActiveFile()).value_or(std::string()));
}

void KillSwitchFiles::Remove() const {
  std::error_code ignored;
  std::filesystem::remove(locations_.ActiveFile(), ignored);
  std::filesystem::remove(locations_.KillSwitchFile(), ignored);
}

}  // namespace vlvpn
