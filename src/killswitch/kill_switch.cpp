#include "killswitch/kill_switch.h"

#include <algorithm>
#include <optional>
#include <sstream>
#include <system_error>
#include <variant>

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

namespace {

// The words of a profile line: blank-separated, comments and a leading "--" dropped
// (quotes are rare in these lines and read as part of the word).
std::vector<std::string> Words(std::string_view line) {
  std::vector<std::string> words;
  std::istringstream in{std::string(line)};
  for (std::string word; in >> word;) {
    if (word.front() == '#' || word.front() == ';') break;
    words.push_back(std::move(word));
  }
  if (!words.empty() && words[0].starts_with("--")) words[0].erase(0, 2);
  return words;
}

// "udp", "udp4", "udp6" -> "udp"; "tcp", "tcp-client", "tcp6-client"... -> "tcp".
std::string ProtocolFamily(std::string_view word) {
  if (word.starts_with("udp")) return "udp";
  if (word.starts_with("tcp")) return "tcp";
  return {};
}

std::int32_t PortOf(std::string_view word) {
  const std::int32_t port = ParsePortLine(word);
  return word.find_first_not_of("0123456789") == std::string_view::npos && port >= 1 && port <= 65535 ? port : 0;
}

// Where OpenVPN connects: the host, and the port and protocol when given there.
struct Target {
  std::string host;
  std::int32_t port = 0;
  std::string protocol;
};

// What one scope (the profile, or a <connection> block) sets.
struct Scope {
  std::vector<Target> remotes;
  std::int32_t port = 0;
  std::string protocol;

  void Read(const std::vector<std::string>& words) {
    if (words.empty()) return;
    if (words[0] == "remote" && words.size() >= 2) {
      Target target{words[1], words.size() >= 3 ? PortOf(words[2]) : 0,
                    words.size() >= 4 ? ProtocolFamily(words[3]) : std::string()};
      remotes.push_back(std::move(target));
    } else if ((words[0] == "port" || words[0] == "rport") && words.size() >= 2 && PortOf(words[1]) != 0) {
      port = PortOf(words[1]);
    } else if (words[0] == "proto" && words.size() >= 2 && !ProtocolFamily(words[1]).empty()) {
      protocol = ProtocolFamily(words[1]);
    }
  }
};

}  // namespace

ServerEndpoint ExtractEndpoint(std::string_view config) {
  // Options apply whole, wherever they stand: the profile's port and protocol are known
  // only once it is read to the end.
  Scope profile;
  std::vector<std::variant<Target, Scope>> entries;
  std::optional<Scope> block;
  std::istringstream lines{std::string(config)};
  for (std::string line; std::getline(lines, line);) {
    const std::vector<std::string> words = Words(line);
    if (words.size() == 1 && words[0] == "<connection>") {
      block.emplace();
    } else if (block && !words.empty() && words[0].starts_with("</connection>")) {
      entries.emplace_back(std::move(*block));
      block.reset();
    } else if (block) {
      block->Read(words);
    } else {
      const std::size_t before = profile.remotes.size();
      profile.Read(words);
      if (profile.remotes.size() > before) entries.emplace_back(profile.remotes.back());
    }
  }
  ServerEndpoint endpoint;
  bool first = true;
  bool same_port = true;
  bool same_protocol = true;
  const auto add = [&](const Target& target, const Scope* scope) {
    const std::int32_t port = target.port != 0                  ? target.port
                              : scope != nullptr && scope->port ? scope->port
                              : profile.port != 0               ? profile.port
                                                                : 1194;
    const std::string protocol = !target.protocol.empty()                     ? target.protocol
                                 : scope != nullptr && !scope->protocol.empty() ? scope->protocol
                                 : !profile.protocol.empty()                    ? profile.protocol
                                                                                : "udp";
    if (first) {
      endpoint.port = port;
      endpoint.protocol = protocol;
      first = false;
    }
    same_port = same_port && port == endpoint.port;
    same_protocol = same_protocol && protocol == endpoint.protocol;
    if (std::find(endpoint.hosts.begin(), endpoint.hosts.end(), target.host) == endpoint.hosts.end()) {
      endpoint.hosts.push_back(target.host);
    }
  };
  for (const auto& entry : entries) {
    if (const Target* target = std::get_if<Target>(&entry)) {
      add(*target, nullptr);
    } else {
      const Scope& scope = std::get<Scope>(entry);
      for (const Target& remote : scope.remotes) add(remote, &scope);
    }
  }
  if (!same_port) endpoint.port = 0;
  if (!same_protocol) endpoint.protocol.clear();
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

std::string SwitchesFileText(const Switches& switches) {
  return std::string("killswitch ") + (switches.kill_switch ? "on" : "off") + "\nblockipv6 " +
         (switches.block_ipv6 ? "on" : "off") + "\n";
}

std::optional<Switches> ParseSwitchesFile(std::string_view text) {
  Switches switches;
  int seen = 0;
  std::istringstream lines{std::string(text)};
  for (std::string line; std::getline(lines, line);) {
    const std::vector<std::string> words = Words(line);
    if (words.size() != 2 || (words[1] != "on" && words[1] != "off")) continue;
    if (words[0] == "killswitch") {
      switches.kill_switch = words[1] == "on";
      seen |= 1;
    } else if (words[0] == "blockipv6") {
      switches.block_ipv6 = words[1] == "on";
      seen |= 2;
    }
  }
  if (seen != 3) return std::nullopt;
  return switches;
}

void KillSwitchFiles::WriteSwitches(const Switches& switches) const {
  WriteQuietly(locations_.SwitchesFile(), SwitchesFileText(switches));
}

std::optional<Switches> KillSwitchFiles::ReadSwitches() const {
  return ParseSwitchesFile(ReadFileBytes(locations_.SwitchesFile()).value_or(std::string()));
}

void KillSwitchFiles::Remove() const {
  std::error_code ignored;
  std::filesystem::remove(locations_.ActiveFile(), ignored);
  std::filesystem::remove(locations_.KillSwitchFile(), ignored);
}

}  // namespace vlvpn
