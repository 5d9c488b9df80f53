#pragma once

namespace vlvpn {

// The host window: our own class, so that a window of another program that happens to
// carry the same title is never taken for ours.
inline constexpr wchar_t kHostWindowClass[] = L"VLVPNDeskWindow";
inline constexpr wchar_t kHostWindowTitle[] = L"Velunor VPN";
// Posted by a second copy to the tray window: show the host window.
inline constexpr unsigned kShowWindowMessage = 1069;
inline constexpr wchar_t kTrayWindowClass[] = L"VLVPNTrayWindow";

}  // namespace vlvpn
