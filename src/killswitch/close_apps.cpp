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

}  // namespace vlvpn
