#include "tunnel/profile_files.h"

#include <random>
#include <system_error>

#include "common/file_io.h"
#include "common/text.h"
#include "storage/names.h"
#include "storage/profile_store.h"

namespace fs = std::filesystem;

namespace vlvpn {
namespace {

// The text after the last dot of a file name, dot included; ".ovpn" itself counts.
std::string_view Extension(std::string_view file_name) {
  const std::size_t dot = file_name.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : file_name.substr(dot);
}

}  // namespace

std::optional<fs::path> PrepareCredentials(const fs::path& folder, std::string_view username,
                                           std::string_view password) {
  const fs::path path = folder / ProfileStore::kCredentialsFile;
  if (!username.empty()) {
    const std::string text = ProfileStore::CredentialsFileText(username, password);
    // Thrown on: an earlier file must not stand in for what the user just typed.
    WriteFileAtomically(path, text);
  }
  std::error_code ec;
  if (fs::exists(path, ec)) return path;
  return std::nullopt;
}

ManagementSecret PrepareManagementPassword(const fs::path& folder) {
  std::random_device source;
  std::string password;
  constexpr char kDigits[] = "0123456789abcdef";
  for (int i = 0; i < 8; ++i) {
    const unsigned value = source();
    for (int shift = 0; shift < 32; shift += 8) {
      const unsigned byte = (value >> shift) & 0xffU;
      password += kDigits[byte >> 4];
      password += kDigits[byte & 0xfU];
    }
  }
  ManagementSecret secret{folder / "management.txt", std::move(password)};
  WriteFileAtomically(secret.file, secret.password + "\n");
  return secret;
}

std::string ReadManagementPassword(const fs::path& folder) {
  std::string text = ReadFileBytes(folder / "management.txt").value_or("");
  return text.substr(0, text.find_first_of("\r\n"));
}

std::optional<fs::path> FindConfigFile(const fs::path& folder, std::string_view name) {
  if (!PlainNameProblem(name, "file name")) {
    const fs::path named = folder / PathFromUtf8(name);
    if (IsRegularFile(named)) return named;
  }
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string file_name = PathToUtf8(it->path().filename());
    if (Extension(file_name) == ".ovpn" && IsRegularFile(it->path())) return it->path();
  }
  return std::nullopt;
}

std::string ConfigNotFoundMessage(std::string_view profile_id) {
  return "VPN config not found for profile: " + std::string(profile_id);
}

fs::path RotateLog(const fs::path& folder) {
  const fs::path log = folder / "openvpn.log";
  const fs::path previous = folder / "openvpn.log.1";
  // A log that cannot be moved aside stays where it is: OpenVPN then writes over it or
  // after it, and nothing is lost before that.
  if (MoveFileReplacing(log, previous)) PreparePrivateFile(previous);
  // Made ours before OpenVPN (perhaps running as root) opens it, so it stays private.
  PreparePrivateFile(log);
  return log;
}

}  // namespace vlvpn
