#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vlvpn {

// The user's one-line explanation of a failed OpenVPN run, worked out from its log
// in one pass with constant memory: the first line (oldest first) that a rule
// matches decides, a TLS failure with the cause the log names anywhere; else the first
// line a fallback rule explains; else the newest line holding "error" or "fatal" (not
// "exiting due to fatal error"); else the newest line that is not that one, else the
// newest line; without OpenVPN's timestamp. Feed lines oldest first.
class LogDiagnosis {
 public:
  // Longer lines are judged and quoted by their first this many bytes.
  static constexpr std::size_t kMaxLine = 64 * 1024;

  void Feed(std::string_view line);
  // True once later lines cannot change the result.
  bool Decided() const;
  // A rule of the table explains the log (with or without the TLS failure's cause).
  bool ByRule() const { return rule_.has_value(); }
  // What failed is nothing a retry can mend (an expired certificate, a refused login).
  bool Final() const;
  std::string Result() const;

  struct RuleMatch {
    std::string text;
    bool final = false;
    bool tls = false;  // completed by the cause the log names
  };

 private:
  struct Found {
    std::string text;
    bool final = false;
  };
  std::optional<RuleMatch> rule_;
  std::optional<Found> cause_;
  bool answered_ = false;   // the server answered the handshake
  bool timed_out_ = false;  // the handshake ran out of time
  std::optional<std::string> fallback_;
  std::string newest_error_;
  std::string newest_cause_;  // the newest line but "Exiting due to fatal error"
  std::string newest_;
  std::string lower_;  // reused buffer
};

// The rule result for one line, if any rule of the table matches it.
std::optional<std::string> MatchDiagnosisRule(std::string_view line);

// Feeds the whole lines of the log from byte `from` on; returns the byte after the last
// whole line (where a later call goes on), `from` when the log cannot be read.
std::uint64_t FeedLog(const std::filesystem::path& path, std::uint64_t from, LogDiagnosis& diagnosis);

// Reads the log at `path` in chunks; empty when it cannot be read or holds no line
// (with `rules_only`, also when no rule of the table explains it).
std::string DiagnoseLog(const std::filesystem::path& path, bool rules_only = false);

}  // namespace vlvpn
