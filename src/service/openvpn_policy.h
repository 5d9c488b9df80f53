#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vlvpn::service {

// The command line the client sends, once checked: only the options it uses, each once.
struct OpenVpnArguments {
  std::filesystem::path config;
  std::optional<std::filesystem::path> credentials;  // --auth-user-pass
  std::optional<std::filesystem::path> log;
  std::uint16_t management_port = 0;  // on 127.0.0.1; 0 when not asked for
  std::vector<std::string> tuning;     // --verb, --ping... with their numbers, as given
};

struct CheckedArguments {
  std::optional<OpenVpnArguments> arguments;
  std::string error;
};

// Anything beyond the client's own options is refused, with the option named.
CheckedArguments CheckOpenVpnArguments(std::string_view argument_string);

// A file a profile names (ca, cert, auth-user-pass...), to be read with the user's rights.
struct NamedFile {
  std::size_t line = 0;   // index into ReviewedProfile::lines
  std::size_t token = 0;  // index of the path among that line's tokens
  std::string path;       // as written
};

struct ReviewedProfile {
  std::vector<std::vector<std::string>> lines;  // raw tokens of each line kept, comments dropped
  std::vector<NamedFile> files;
  std::string error;  // non-empty: the profile is refused
};

// Checks a profile against the directives a client needs. Everything that runs or
// loads a program, or makes OpenVPN open or write a path of its choosing, is refused
// with its name; files that only feed it (keys, certificates, credentials) are listed
// so that they can be read as the user and replaced by copies.
ReviewedProfile ReviewProfile(std::string_view text);

// The profile again, with each listed file's path replaced by `copies[i]`; nullopt when
// that would make a line longer than OpenVPN reads whole (its tail would become a line
// of its own, unchecked).
std::optional<std::string> RewriteProfile(const ReviewedProfile& profile, const std::vector<std::string>& copies);

}  // namespace vlvpn::service
