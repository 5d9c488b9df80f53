#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vlvpn {

// Why `name` cannot stand as one file or folder name on Windows or Linux, or nullopt
// when it can. Refused: empty, "." and "..", slashes, control characters, the
// characters Windows forbids, a trailing dot or blank (Windows drops it, so two names
// would share a file), device names such as CON or COM1 (with any extension), and
// text that is not UTF-8. `what` names the thing in the message ("profile id").
std::optional<std::string> PlainNameProblem(std::string_view name, std::string_view what);

// Throws std::invalid_argument with the message above.
void RequirePlainName(std::string_view name, std::string_view what);

// The file name a user-defaults key is stored under: ASCII letters, digits, "_", "-"
// and "." kept, every other byte "_"; the empty key is "pref".
std::string PreferenceFileName(std::string_view key);

}  // namespace vlvpn
