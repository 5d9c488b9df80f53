#include "storage/profile_store.h"

#include <stdexcept>
#include <system_error>

#include "common/file_io.h"
#include "common/text.h"
#include "storage/names.h"

namespace fs = std::filesystem;

namespace vlvpn {
namespace {

constexpr std::string_view kMetaFile = "meta.json";

void RequireSingleLine(std::string_view text, std::string_view what) {
  if (text.find_first_of("\r\n") != std::string_view::npos) {
    throw std::invalid_argument("The " + std::string(what) + " must not contain a line break.");
  }
}

}  // namespace

// A file of the profile about to be written: its folder is made (the user's alone).
fs::path ProfileStore::WritablePath(std::string_view id, std::string_view file_name) const {
  const fs::path path = locations_.ProfileFile(id, file_name);  // both names checked first
  locations_.CreateProfileFolder(id);
  return path;
}

ProfileStore::SavedConfig ProfileStore::SaveConfig(std::string_view id, std::string_view config,
                                                   std::string_view file_name) const {
  const fs::path path = WritablePath(id, file_name);
  WriteFileAtomically(path, config);
  return {PathToUtf8(path), std::string(file_name)};
}

void ProfileStore::SaveMeta(std::string_view id, std::string_view meta) const {
  WriteFileAtomically(WritablePath(id, kMetaFile), meta);
}

std::vector<std::string> ProfileStore::ListMeta() const {
  std::vector<std::string> listed;
  std::error_code ec;
  fs::path profiles;
  try {
    profiles = locations_.ProfilesFolder();
  } catch (const std::exception&) {
    return listed;
  }
  // One entry that cannot be read never cuts the listing short.
  for (fs::directory_iterator it(profiles, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code entry_error;
    if (!it->is_directory(entry_error)) continue;
    const fs::path meta = it->path() / kMetaFile;
    if (!fs::exists(meta, entry_error)) continue;
    // Present but not a readable file (a folder, say): listed with an empty meta.
    listed.push_back(StripCrBeforeLf(ReadFileBytes(meta).value_or(std::string())));
  }
  return listed;
}

void ProfileStore::Delete(std::string_view id) const { fs::remove_all(locations_.ProfileFolder(id)); }

std::string ProfileStore::CredentialsFileText(std::string_view username, std::string_view password) {
  RequireSingleLine(username, "user name");
  RequireSingleLine(password, "password");
  std::string text;
  text.reserve(username.size() + password.size() + 2);
  text.append(username).append("\n").append(password).append("\n");
  return text;
}

ProfileStore::Credentials ProfileStore::ParseCredentialsFile(std::string_view raw) {
  const std::string text = StripCrBeforeLf(raw);
  const std::size_t first_end = text.find('\n');
  Credentials credentials;
  credentials.username = text.substr(0, first_end);
  if (first_end != std::string::npos) {
    const std::size_t second_end = text.find('\n', first_end + 1);
    credentials.password = text.substr(
        first_end + 1, second_end == std::string::npos ? std::string::npos : second_end - first_end - 1);
  }
  return credentials;
}

void ProfileStore::SaveCredentials(std::string_view id, std::string_view username,
                                   std::string_view password) const {
  const std::string text = CredentialsFileText(username, password);
  WriteFileAtomically(WritablePath(id, kCredentialsFile), text);
}

ProfileStore::Credentials ProfileStore::ReadCredentials(std::string_view id) const {
  const std::optional<std::string> text = ReadFileBytes(locations_.ProfileFile(id, kCredentialsFile));
  if (!text) throw std::runtime_error("Auth file not found");
  return ParseCredentialsFile(*text);
}

}  // namespace vlvpn
