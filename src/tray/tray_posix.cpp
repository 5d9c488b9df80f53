#include "tray/tray.h"

namespace vlvpn {

// No notification area here: the tray keeps its model, and there is no host window.
struct TrayIcon::Impl {};

TrayIcon::TrayIcon(std::shared_ptr<TrayPresence::Shared>) {}
TrayIcon::~TrayIcon() = default;
void TrayIcon::Ensure() {}
void TrayIcon::PostNotice() {}

bool ShowHostWindow(std::intptr_t) { return false; }

}  // namespace vlvpn
