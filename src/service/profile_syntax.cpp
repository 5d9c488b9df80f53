#include "service/profile_syntax.h"

namespace vlvpn::service {
namespace {

// OpenVPN reads a profile with a 256-byte buffer: a longer line goes on as a line of its
// own, so its tail would be a directive nobody checked.
constexpr std::size_t kMaxLine = 255;
constexpr std::size_t kMaxTokens = 16;  // OpenVPN ignores the tokens after these
constexpr std::string_view kConnection = "connection";

// isspace() in the C locale, plus the end of the line.
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == '\0'; }

bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

bool IsPlainName(std::string_view name) {
  if (name.empty() || name.front() == '-') return false;
  for (const char c : name) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) {
      return false;
    }
  }
  return true;
}

struct Tokens {
  std::vector<std::string> tokens;
  std::string error;
};

// One line into tokens, with OpenVPN's states: a quote opens only where a token starts,
// the closing quote ends the token, a backslash escapes outside single quotes.
Tokens SplitLine(std::string_view line) {
  enum class State { kInitial, kUnquoted, kQuoted, kSingleQuoted };
  Tokens result;
  State state = State::kInitial;
  bool backslash = false;
  std::string token;
  for (std::size_t i = 0; i <= line.size(); ++i) {
    const char in = i < line.size() ? line[i] : '\0';
    char out = 0;
    if (!backslash && in == '\\' && state != State::kSingleQuoted) {
      backslash = true;
      continue;
    }
    bool done = false;
    switch (state) {
      case State::kInitial:
        if (IsSpace(in)) break;
        if (in == ';' || in == '#') {
          if (backslash) result.error = "a backslash before a comment";
          return result;
        }
        if (!backslash && in == '"') {
          state = State::kQuoted;
        } else if (!backslash && in == '\'') {
          state = State::kSingleQuoted;
        } else {
          out = in;
          state = State::kUnquoted;
        }
        break;
      case State::kUnquoted:
        if (!backslash && IsSpace(in)) {
          done = true;
        } else {
          out = in;
        }
        break;
      case State::kQuoted:
        if (!backslash && in == '"') {
          done = true;
        } else {
          out = in;
        }
        break;
      case State::kSingleQuoted:
        if (in == '\'') {
          done = true;
        } else {
          out = in;
        }
        break;
    }
    if (backslash && (out == 0 || !(out == '\\' || out == '"' || IsSpace(out)))) {
      result.error = "a backslash that escapes nothing";  // OpenVPN stops on it
      return result;
    }
    backslash = false;
    if (out != 0) {
      if (IsControl(out)) {
        result.error = "a control character in a value";
        return result;
      }
      token += out;
    }
    if (done) {
      if (token.empty()) {
        result.error = "an empty value";
        return result;
      }
      if (result.tokens.size() == kMaxTokens) {
        result.error = "more than 16 values on one line";
        return result;
      }
      result.tokens.push_back(std::move(token));
      token.clear();
      state = State::kInitial;
    }
  }
  if (state != State::kInitial) result.error = "a quote without its end";
  return result;
}

std::string_view TrimStart(std::string_view line) {
  while (!line.empty() && IsSpace(line.front())) line.remove_prefix(1);
  return line;
}

// Reads `lines` from `next`; inside <connection> (depth 1) no block of that kind opens.
ParsedProfile ParseLines(const std::vector<std::string_view>& lines, std::size_t& next, std::size_t first_line,
                         int depth) {
  ParsedProfile profile;
  const auto fail = [&](std::size_t index, const std::string& why) {
    profile.directives.clear();
    profile.error = "Refused: line " + std::to_string(first_line + index + 1) + " of the profile has " + why;
    return profile;
  };
  while (next < lines.size()) {
    const std::size_t at = next++;
    Tokens split = SplitLine(lines[at]);
    if (!split.error.empty()) return fail(at, split.error);
    std::vector<std::string>& tokens = split.tokens;
    if (tokens.empty()) continue;
    if (tokens[0].starts_with("--")) tokens[0].erase(0, 2);
    if (tokens[0].empty()) return fail(at, "an empty directive");
    Directive directive;
    if (tokens.size() == 1 && tokens[0].size() >= 2 && tokens[0].front() == '<' && tokens[0].back() == '>') {
      directive.name = tokens[0].substr(1, tokens[0].size() - 2);
      const std::string end_tag = "</" + directive.name + ">";
      const std::size_t body = next;
      bool ended = false;
      std::string data;
      for (; next < lines.size(); ++next) {
        if (TrimStart(lines[next]).starts_with(end_tag)) {
          ended = true;
          break;
        }
        data.append(lines[next]).push_back('\n');
      }
      if (!ended) return fail(at, "<" + directive.name + "> without its end");
      const std::size_t end = next++;
      if (directive.name == kConnection) {
        if (depth > 0) return fail(at, "a <connection> inside a <connection>");
        const std::vector<std::string_view> inner(lines.begin() + static_cast<std::ptrdiff_t>(body),
                                                  lines.begin() + static_cast<std::ptrdiff_t>(end));
        std::size_t cursor = 0;
        ParsedProfile nested = ParseLines(inner, cursor, first_line + body, depth + 1);
        if (!nested.error.empty()) return nested;
        directive.block = std::move(nested.directives);
      } else {
        directive.inline_data = std::move(data);
      }
    } else {
      std::size_t first = 0;
      // OpenVPN drops one "setenv opt"; a second one names the directive "setenv", which
      // it then ignores. Taking every level is the stricter reading.
      while (tokens.size() > first + 2 && tokens[first] == "setenv" && tokens[first + 1] == "opt") first += 2;
      directive.optional = first > 0;
      directive.name = std::move(tokens[first]);
      directive.args.assign(std::make_move_iterator(tokens.begin() + static_cast<std::ptrdiff_t>(first) + 1),
                            std::make_move_iterator(tokens.end()));
    }
    profile.directives.push_back(std::move(directive));
  }
  return profile;
}

std::string Quoted(std::string_view token) {
  std::string text = "\"";
  for (const char c : token) {
    if (c == '\\' || c == '"') text += '\\';
    text += c;
  }
  return text + "\"";
}

bool DataFits(std::string_view data, std::string_view end_tag, std::string_view outer_end_tag) {
  if (!data.empty() && data.back() != '\n') return false;
  while (!data.empty()) {
    const std::size_t end = data.find('\n');
    const std::string_view line = data.substr(0, end);
    data.remove_prefix(end + 1);
    const std::string_view trimmed = TrimStart(line);
    if (line.size() > kMaxLine || line.find('\0') != std::string_view::npos || trimmed.starts_with(end_tag) ||
        (!outer_end_tag.empty() && trimmed.starts_with(outer_end_tag))) {
      return false;
    }
  }
  return true;
}

bool Render(const std::vector<Directive>& directives, bool nested, std::string& text) {
  const std::string outer_end = nested ? "</" + std::string(kConnection) + ">" : "";
  for (const Directive& directive : directives) {
    if (!IsPlainName(directive.name)) return false;
    const std::string open = "<" + directive.name + ">\n";
    const std::string end_tag = "</" + directive.name + ">";
    if (directive.name == kConnection) {
      if (nested || directive.optional || !directive.args.empty() || directive.inline_data) return false;
      text += open;
      if (!Render(directive.block, true, text)) return false;
      text += end_tag + "\n";
      continue;
    }
    if (!directive.block.empty()) return false;
    if (directive.inline_data) {
      if (directive.optional || !directive.args.empty() || !DataFits(*directive.inline_data, end_tag, outer_end)) {
        return false;
      }
      text += open + *directive.inline_data + end_tag + "\n";
      continue;
    }
    // "setenv opt" spelled out by hand would read back as another directive.
    if (directive.name == "setenv" && !directive.args.empty() && directive.args[0] == "opt") return false;
    std::string line = directive.optional ? "setenv opt " + directive.name : directive.name;
    if (directive.args.size() + 1 > kMaxTokens - (directive.optional ? 2 : 0)) return false;
    for (const std::string& arg : directive.args) {
      if (arg.empty()) return false;
      for (const char c : arg) {
        if (IsControl(c)) return false;
      }
      line += " " + Quoted(arg);
    }
    if (line.size() > kMaxLine) return false;
    text += line + "\n";
  }
  return true;
}

}  // namespace

ParsedProfile ParseProfile(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return {{}, "Refused: the profile is not text"};
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (line.size() > kMaxLine) {
      return {{}, "Refused: line " + std::to_string(lines.size() + 1) + " of the profile is longer than 255 bytes"};
    }
    lines.push_back(line);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  }
  std::size_t next = 0;
  return ParseLines(lines, next, 0, 0);
}

std::optional<std::string> RenderProfile(const std::vector<Directive>& directives) {
  std::string text;
  if (!Render(directives, false, text)) return std::nullopt;
  return text;
}

}  // namespace vlvpn::service
