#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vlvpn::testing {

// The lines of a text that ends each line with a line feed.
inline std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string_view::npos; start = nl + 1) {
    lines.emplace_back(text.substr(start, nl - start));
  }
  return lines;
}

}  // namespace vlvpn::testing
