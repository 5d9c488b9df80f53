// Drives a running VLVPNDesk's tray as a user's mouse would, for screenshots:
// `tray-poke menu X Y` puts the cursor at (X, Y) and right-clicks the icon (the menu
// opens there); `tray-poke exit` picks "Exit Velunor VPN".
#include <windows.h>

#include <cstdlib>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  const HWND tray = FindWindowW(L"VLVPNTrayWindow", nullptr);
  if (tray == nullptr || argc < 2) return 1;
  if (std::wcscmp(argv[1], L"exit") == 0) return PostMessageW(tray, WM_COMMAND, 2004, 0) ? 0 : 1;
  if (std::wcscmp(argv[1], L"menu") == 0 && argc >= 4) {
    SetCursorPos(std::wcstol(argv[2], nullptr, 10), std::wcstol(argv[3], nullptr, 10));
    return PostMessageW(tray, WM_USER + 42, 0, WM_RBUTTONUP) ? 0 : 1;
  }
  return 1;
}
