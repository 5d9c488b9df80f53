#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vlvpn::fakes {

// One reply rule of the fake kill-switch service: commands starting with `prefix`
// get `reply`, at most `uses` times (-1: always).
struct ReplyRule {
  std::string prefix;
  int uses = -1;
  std::string reply;
};

// Rules from a script: "PREFIX [#N] => REPLY" per line, "#" starts a comment line.
// Replies: literal text, or <silence> (close without a word), <hang> (keep the
// connection open, say nothing), <start> / <stop> / <status> (really run the program
// of OPENVPN_START), <delay MS> TEXT.
std::vector<ReplyRule> ParseReplyScript(std::string_view text);

// The reply for a command: the first rule with uses left, else the defaults (PING ->
// PONG, OPENVPN_START -> <start>, OPENVPN_STOP -> <stop>, OPENVPN_STATUS -> <status>,
// anything else -> OK). Consumes one use of the rule taken.
std::string ChooseReply(std::vector<ReplyRule>& rules, std::string_view command);

}  // namespace vlvpn::fakes
