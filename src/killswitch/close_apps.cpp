#include "killswitch/close_apps.h"

#include "common/text.h"

namespace vlvpn {

std::optional<std::size_t> MatchChosenApp(std::string_view program_name, const std::vector<std::string>& lowered_names) {
  const std::string lowered = AsciiLowerCopy(program_name);
  for (std::size_t i = 0; i < lowered_names.size(); ++i) {
    if (lowered_names[i] == lowered) return i;
  }
  return std::nullopt;
}

std::vector<std::string> TerminateApps(const std::vector<std::string>& names, const std::set<std::uint32_t>& spared) {
  std::vector<std::string> lowered;
  for (const std::string& name : names) lowered.push_back(AsciiLowerCopy(name));
  std::vector<std::string> terminated;
  if (lowered.empty()) return terminated;
  const std::uint32_t self = CurrentProcessId();
  for (const RunningProgram& program : RunningPrograms()) {
    if (program.pid == self || spared.count(program.pid) != 0) continue;
    for (const std::string& name : program.names) {
      if (!MatchChosenApp(name, lowered)) continue;
      if (EndProcess(program.pid, name)) terminated.push_back(name);
      break;
    }
  }
  return terminated;
}

}  // namespace vlvpn
