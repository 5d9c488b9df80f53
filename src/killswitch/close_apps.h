#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vlvpn {

// Which of the chosen names a running program's name matches: names are compared after
// lower-casing ASCII letters only, and the first equal one wins. nullopt for none.
std::optional<std::size_t> MatchChosenApp(std::string_view program_name, const std::vector<std::string>& lowered_names);

// Ends every running program whose executable name (the bare file name, as the system
// spells it) is one of `names`, except the processes in `spared`, and this process. The
// names of those that ended, in the order met.
std::vector<std::string> TerminateApps(const std::vector<std::string>& names, const std::set<std::uint32_t>& spared);

// The process that started this one (0 when unknown).
std::uint32_t ParentProcessId();

// What the platform tells of the running processes: each one's id and the names it goes
// by, as the system spells them (the first is its executable's file name).
struct RunningProgram {
  std::uint32_t pid = 0;
  std::vector<std::string> names;
};
std::vector<RunningProgram> RunningPrograms();
// Ends process `pid` at once if it still goes by `name` (compared as MatchChosenApp
// does): the check and the kill go through one handle on that process, so a pid the
// system gave to another program meanwhile is never hit. False when it is not ended.
bool EndProcess(std::uint32_t pid, const std::string& name);
std::uint32_t CurrentProcessId();

}  // namespace vlvpn
