#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vlvpn::service {

// One directive of an OpenVPN profile as OpenVPN itself reads it.
struct Directive {
  std::string name;               // without a leading "--"
  std::vector<std::string> args;  // the tokens after the name
  // "<name>...</name>": the lines between, each ending in '\n'.
  std::optional<std::string> inline_data;
  // <connection> only: the directives inside it.
  std::vector<Directive> block;
  // Written as "setenv opt <name> ...": an OpenVPN that does not know it warns and goes on.
  bool optional = false;

  bool operator==(const Directive&) const = default;
};

struct ParsedProfile {
  std::vector<Directive> directives;
  std::string error;  // non-empty: the text is not read, with the reason
};

// OpenVPN's reading of a profile: lines of at most 255 bytes, tokens split at blanks,
// "..." with \\ and \" escapes, '...' taken literally, a quote opening only at the start
// of a token and its closing quote ending the token, '#' and ';' starting a comment
// where a token could start, a leading "--" dropped, a line holding only <tag> opening a
// block that the first line starting with </tag> ends, and "setenv opt" marking what
// follows as optional. Where OpenVPN would warn, guess or cut (a long line or token, too
// many tokens, a bad escape, a control character in a token, an empty token), the text
// is refused instead, so that what is read is never in doubt.
ParsedProfile ParseProfile(std::string_view text);

// The directives in one canonical form that ParseProfile (and OpenVPN) reads back as
// exactly these: every argument double-quoted and escaped, inline data copied as it is.
// nullopt when a directive cannot be written so (a line would pass 255 bytes, a token
// holds a control character or is empty, inline data would end its block early).
std::optional<std::string> RenderProfile(const std::vector<Directive>& directives);

}  // namespace vlvpn::service
