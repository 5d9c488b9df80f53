#include "fakes/fake_killswitch_script.h"

#include "killswitch/protocol.h"

namespace vlvpn::fakes {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

}  // namespace

std::vector<ReplyRule> ParseReplyScript(std::string_view text) {
  std::vector<ReplyRule> rules;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const std::size_t arrow = line.find("=>");
    if (line.empty() || line.front() == '#' || arrow == std::string_view::npos) continue;
    ReplyRule rule;
    std::string_view left = Trim(line.substr(0, arrow));
    if (const std::size_t hash = left.find(" #"); hash != std::string_view::npos) {
      rule.uses = std::stoi(std::string(left.substr(hash + 2)));
      left = Trim(left.substr(0, hash));
    }
    rule.prefix = std::string(left);
    rule.reply = std::string(Trim(line.substr(arrow + 2)));
    rules.push_back(std::move(rule));
  }
  return rules;
}

std::string ChooseReply(std::vector<ReplyRule>& rules, std::string_view command) {
  for (ReplyRule& rule : rules) {
    if (rule.uses == 0 || command.substr(0, rule.prefix.size()) != rule.prefix) continue;
    if (rule.uses > 0) --rule.uses;
    return rule.reply;
  }
  namespace ksp = kill_switch_protocol;
  if (command == ksp::kPing) return std::string(ksp::kPong);
  if (command.rfind(ksp::kStartOpenVpn, 0) == 0) return "<start>";
  if (command == ksp::kStopOpenVpn) return "<stop>";
  if (command == ksp::kStatus) return "<status>";
  return "OK";
}

}  // namespace vlvpn::fakes
