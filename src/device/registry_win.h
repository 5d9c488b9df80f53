#pragma once

#include <windows.h>

#include <string>

namespace vlvpn {

// A plain string value (REG_SZ) from the 64-bit view; empty when the key cannot be
// opened, the value is missing or of another type, or the read fails. The text is
// bounded by the byte count the read returns, so a value stored without its
// terminating zero is still read safely.
std::wstring ReadRegistryString(HKEY root, const wchar_t* key, const wchar_t* value);

}  // namespace vlvpn
