#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/profile_syntax.h"

namespace vlvpn::service {

// The command line the client sends, once checked: only the options it uses, each once.
struct OpenVpnArguments {
  std::filesystem::path config;
  std::optional<std::filesystem::path> credentials;  // --auth-user-pass
  std::optional<std::filesystem::path> log;
  std::uint16_t management_port = 0;  // on 127.0.0.1; 0 when not asked for
  std::filesystem::path management_password;  // the file that holds its password
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
  std::size_t directive = 0;                      // index into ReviewedProfile::directives
  std::size_t inner = static_cast<std::size_t>(-1);  // within that <connection>, when it is one
  std::size_t arg = 0;                            // index of the path among its arguments
  std::string path;                               // as written
};

struct ReviewedProfile {
  std::vector<Directive> directives;  // allowed ones only; user and group left out
  std::vector<NamedFile> files;
  bool sets_ping = false;  // keepalive, ping or ping-restart of its own
  std::string error;       // non-empty: the profile is refused
};

// Reads a profile as OpenVPN does and checks every directive against those a client
// needs. Everything that runs or loads a program, or makes OpenVPN open or write a path
// of its choosing, is refused with its name; files that only feed it (keys,
// certificates, credentials) are listed so that they can be read as the user and
// replaced by copies. Directives OpenVPN does not know on this system (Windows ones,
// those 2.6 dropped) are kept as optional, so that it warns instead of stopping.
ReviewedProfile ReviewProfile(std::string_view text);

// The profile OpenVPN is given: the reviewed directives in canonical form, each listed
// file's path replaced by `copies[i]`. nullopt when a line would outgrow what OpenVPN
// reads whole.
std::optional<std::string> RenderReviewedProfile(const ReviewedProfile& profile,
                                                 const std::vector<std::string>& copies);

}  // namespace vlvpn::service
