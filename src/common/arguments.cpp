#include "common/arguments.h"

#include <algorithm>

namespace vlvpn {

std::string QuoteArgument(std::string_view argument) {
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes are literal unless they stand before a quote.
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  quoted += '"';
  return quoted;
}

std::vector<std::string> SplitArguments(std::string_view line) {
  std::vector<std::string> args;
  std::size_t i = 0;
  for (;;) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) return args;
    std::string arg;
    bool quoted = false;
    while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
      if (line[i] == '\\') {
        std::size_t backslashes = 0;
        while (i < line.size() && line[i] == '\\') ++backslashes, ++i;
        if (i < line.size() && line[i] == '"') {
          arg.append(backslashes / 2, '\\');
          if (backslashes % 2 == 1) {
            arg += '"';
            ++i;
          }
        } else {
          arg.append(backslashes, '\\');
        }
      } else if (line[i] == '"') {
        // "" inside a quoted part is a literal quote.
        if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          arg += '"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        arg += line[i++];
      }
    }
    args.push_back(std::move(arg));
  }
}

std::string OptionValue(const std::vector<std::string>& arguments, std::string_view option) {
  for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (arguments[i] == option) return arguments[i + 1];
  }
  return {};
}

std::string WithLogFirst(std::string_view arguments) {
  std::vector<std::string> split = SplitArguments(arguments);
  const auto log = std::find(split.begin(), split.end(), "--log");
  if (log == split.end() || log + 1 == split.end()) return std::string(arguments);
  std::rotate(split.begin(), log, log + 2);
  std::string joined;
  for (const std::string& argument : split) {
    if (!joined.empty()) joined += ' ';
    joined += QuoteArgument(argument);
  }
  return joined;
}

}  // namespace vlvpn
