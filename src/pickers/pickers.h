#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string_view>

#include "common/value.h"

namespace vlvpn {

enum class PickerKind { kApp, kOvpnProfile };

// Shows the platform's open-file dialog for the kind and waits for the user: the chosen
// file's path, or nullopt when the user cancelled or no dialog could be shown. Blocks;
// call it on a thread of its own.
std::optional<std::filesystem::path> ChooseFile(PickerKind kind);

// The separator of the paths the dialog hands back.
#ifdef _WIN32
inline constexpr char kDialogPathSeparator = '\\';
#else
inline constexpr char kDialogPathSeparator = '/';
#endif

// pickApp's object for a chosen path: "bundleId" (the file name), "name" (without its
// last extension), "path", "color".
Value AppChoiceObject(std::string_view path, char separator = kDialogPathSeparator);

// A profile larger than this is refused rather than read into memory.
inline constexpr std::size_t kMaxProfileBytes = std::size_t{16} << 20;

// pickOvpnFile's object for a chosen path: "fileName", "content" (without a UTF-8
// byte-order mark; empty when unreadable) and "sourceDirectory". Throws
// std::runtime_error with the user's message for a file over `max_bytes`.
Value OvpnChoiceObject(const std::filesystem::path& path, char separator = kDialogPathSeparator,
                       std::size_t max_bytes = kMaxProfileBytes);

}  // namespace vlvpn
