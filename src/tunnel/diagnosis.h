#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vlvpn {

// The user's one-line explanation of a failed OpenVPN run, worked out from its log
// in one pass with constant memory: the first line (oldest first) that a rule
// matches decides; else the newest line holding "error" or "fatal" (not "exiting due
// to fatal error"); else the newest line that is not that one, else the newest line;
// without OpenVPN's timestamp. Feed lines oldest first.
class LogDiagnosis {
 public:
  // Longer lines are judged and quoted by their first this many bytes.
  static constexpr std::size_t kMaxLine = 64 * 1024;

  void Feed(std::string_view line);
  // True once a rule matched: later lines cannot change the result.
  bool Decided() const { return rule_result_.has_value(); }
  std::string Result() const;

 private:
  std::optional<std::string> rule_result_;
  std::string newest_error_;
  std::string newest_cause_;  // the newest line but "Exiting due to fatal error"
  std::string newest_;
  std::string lower_;  // reused buffer
};

// The rule result for one line, if any rule matches it.
std::optional<std::string> MatchDiagnosisRule(std::string_view line);

// Reads the log at `path` in chunks; empty when it cannot be read or holds no line
// (with `rules_only`, also when no rule explains it).
std::string DiagnoseLog(const std::filesystem::path& path, bool rules_only = false);

}  // namespace vlvpn
