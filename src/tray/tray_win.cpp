#include <windows.h>

#include <shellapi.h>

#include <atomic>
#include <cwchar>
#include <thread>

#include "common/text.h"
#include "tray/tray.h"

namespace vlvpn {
namespace {

constexpr UINT kIconCallback = WM_USER + 42;  // 1066
constexpr UINT kRefresh = 1067;
constexpr UINT kNotice = 1068;
constexpr UINT kShowWindow = 1069;
constexpr UINT kIconId = 1;
constexpr UINT_PTR kMenuTimer = 1;  // a left click's menu, unless a double click follows
constexpr WORD kIconResource = 1008;
constexpr wchar_t kWindowClass[] = L"VLVPNTrayWindow";

template <std::size_t N>
void CopyInto(wchar_t (&target)[N], const std::string& utf8) {
  const std::wstring wide = Utf8ToWide(utf8);
  const std::size_t count = std::min(wide.size(), N - 1);
  std::wmemcpy(target, wide.data(), count);
  target[count] = L'\0';
}

HMENU BuildMenu(const std::vector<MenuEntry>& entries) {
  HMENU menu = CreatePopupMenu();
  for (const MenuEntry& entry : entries) {
    const std::wstring label = Utf8ToWide(entry.label);
    const UINT greyed = entry.greyed ? MF_GRAYED : MF_ENABLED;
    switch (entry.kind) {
      case MenuEntry::Kind::kSeparator: AppendMenuW(menu, MF_SEPARATOR, 0, nullptr); break;
      case MenuEntry::Kind::kItem: AppendMenuW(menu, MF_STRING | greyed, entry.command, label.c_str()); break;
      case MenuEntry::Kind::kSubmenu:
        AppendMenuW(menu, MF_POPUP | greyed, reinterpret_cast<UINT_PTR>(BuildMenu(entry.children)), label.c_str());
        break;
    }
  }
  return menu;
}

}  // namespace

// Owns the tray window, the icon record and the icon; lives on the tray thread.
struct TrayIcon::Impl {
  explicit Impl(std::shared_ptr<TrayPresence::Shared> state) : shared(std::move(state)) {}

  std::shared_ptr<TrayPresence::Shared> shared;
  std::atomic<bool> started{false};
  std::atomic<HWND> window{nullptr};
  std::atomic<bool> settled{false};  // the window exists, or could not be made
  std::thread thread;

  // Tray-thread state.
  NOTIFYICONDATAW record{};
  bool shown = false;
  UINT taskbar_created = 0;
  HICON icon = nullptr;
  bool icon_owned = false;
  HPOWERNOTIFY power = nullptr;
  ResumeFilter resumes;

  void Run();
  void Refresh();
  void ShowNotice();
  void PopupMenu();
  void Command(unsigned command, const TrayMenuModel& model);
  void Publish() {
    std::lock_guard guard(shared->lock);
    shared->status.window = window.load() != nullptr;
    shared->status.shown = shown;
  }
  static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
};

void TrayIcon::Impl::Run() {
  taskbar_created = RegisterWindowMessageW(L"TaskbarCreated");
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = &Impl::Procedure;
  window_class.hInstance = instance;
  window_class.lpszClassName = kWindowClass;
  RegisterClassW(&window_class);  // already registered by an earlier tray of this process: fine
  HWND hwnd = CreateWindowExW(WS_EX_TOOLWINDOW, kWindowClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                              instance, this);
  if (hwnd == nullptr) {
    settled = true;
    return;
  }

  icon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON, 16, 16, 0));
  icon_owned = icon != nullptr;
  if (icon == nullptr) icon = LoadIconW(nullptr, IDI_APPLICATION);
  if (const HMODULE user32 = GetModuleHandleW(L"user32.dll")) {
    using RegisterFn = HPOWERNOTIFY(WINAPI*)(HANDLE, DWORD);
    if (const auto reg = reinterpret_cast<RegisterFn>(
            reinterpret_cast<void*>(GetProcAddress(user32, "RegisterSuspendResumeNotification")))) {
      power = reg(hwnd, DEVICE_NOTIFY_WINDOW_HANDLE);
    }
  }
  ChangeWindowMessageFilterEx(hwnd, taskbar_created, MSGFLT_ALLOW, nullptr);
  window = hwnd;
  settled = true;
  Refresh();

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  if (icon_owned) DestroyIcon(icon);
}

void TrayIcon::Impl::Refresh() {
  const HWND hwnd = window.load();
  bool visible = true;
  TrayMenuModel model;
  {
    std::lock_guard guard(shared->lock);
    visible = shared->menu_bar_visible;
    model = shared->model;
  }
  if (!visible) {
    if (shown) Shell_NotifyIconW(NIM_DELETE, &record);
    shown = false;
    Publish();
    return;
  }
  if (hwnd == nullptr) return;
  record = NOTIFYICONDATAW{};
  record.cbSize = sizeof(NOTIFYICONDATAW);
  record.hWnd = hwnd;
  record.uID = kIconId;
  record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  record.uCallbackMessage = kIconCallback;
  record.hIcon = icon;
  const std::string tooltip = Tooltip(model);
  CopyInto(record.szTip, tooltip);

  bool added = false;
  if (shown && !Shell_NotifyIconW(NIM_MODIFY, &record)) shown = false;
  if (!shown) added = shown = Shell_NotifyIconW(NIM_ADD, &record) != FALSE;
  {
    std::lock_guard guard(shared->lock);
    shared->status.tooltip = tooltip;
    if (added) ++shared->status.adds;
  }
  Publish();
}

void TrayIcon::Impl::ShowNotice() {
  TrayNotice notice;
  {
    std::lock_guard guard(shared->lock);
    notice = shared->notice;
  }
  if ((notice.title.empty() && notice.text.empty()) || !shown) return;
  notice = CutForBalloon(notice);
  NOTIFYICONDATAW balloon = record;
  balloon.uFlags |= NIF_INFO;
  balloon.dwInfoFlags = NIIF_INFO;
  CopyInto(balloon.szInfoTitle, notice.title);
  CopyInto(balloon.szInfo, notice.text);
  if (Shell_NotifyIconW(NIM_MODIFY, &balloon)) {
    std::lock_guard guard(shared->lock);
    shared->status.balloon = notice;
  }
}

void TrayIcon::Impl::PopupMenu() {
  const TrayMenuModel model = shared->Model();
  const HWND hwnd = window.load();
  HMENU menu = BuildMenu(vlvpn::PopupMenu(model));
  SetForegroundWindow(hwnd);
  POINT cursor{};
  GetCursorPos(&cursor);
  const BOOL chosen = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_BOTTOMALIGN | TPM_RIGHTBUTTON, cursor.x, cursor.y,
                                     0, hwnd, nullptr);
  PostMessageW(hwnd, WM_NULL, 0, 0);
  DestroyMenu(menu);
  // The command acts on the menu the user saw, not on a model that changed since.
  Command(static_cast<unsigned>(chosen), model);
}

void TrayIcon::Impl::Command(unsigned command, const TrayMenuModel& model) {
  const auto action = shared->Choose(command, model);
  if (!action || action->kind != MenuAction::Kind::kExit) return;
  // The tunnel and the kill switch stay as they are; the next start adopts them.
  if (shown) Shell_NotifyIconW(NIM_DELETE, &record);
  shown = false;
  if (shared->options.exit_process) shared->options.exit_process();
  TerminateProcess(GetCurrentProcess(), 0);
}

LRESULT CALLBACK TrayIcon::Impl::Procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<Impl*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcW(hwnd, message, wparam, lparam);

  if (message == self->taskbar_created && message != 0) {
    self->shown = false;
    self->Refresh();
    return 0;
  }
  switch (message) {
    case kIconCallback:
      switch (LOWORD(lparam)) {
        case WM_RBUTTONUP:
        case WM_CONTEXTMENU: self->PopupMenu(); break;
        // The menu is modal: opened on the first click, it would swallow the second
        // and a double click would never show the window.
        case WM_LBUTTONUP: SetTimer(hwnd, kMenuTimer, GetDoubleClickTime(), nullptr); break;
        case WM_LBUTTONDBLCLK:
          KillTimer(hwnd, kMenuTimer);
          self->shared->ShowMainWindow();
          break;
        case NIN_BALLOONUSERCLICK: self->shared->ShowMainWindow(); break;
        default: break;
      }
      return 0;
    case WM_TIMER:
      if (wparam == kMenuTimer) {
        KillTimer(hwnd, kMenuTimer);
        self->PopupMenu();
      }
      return 0;
    case kRefresh: self->Refresh(); return 0;
    case kNotice: self->ShowNotice(); return 0;
    case kShowWindow: self->shared->ShowMainWindow(); return 0;
    case WM_COMMAND: self->Command(LOWORD(wparam), self->shared->Model()); return 0;
    case WM_POWERBROADCAST:
      if ((wparam == PBT_APMRESUMEAUTOMATIC || wparam == PBT_APMRESUMESUSPEND) &&
          self->resumes.Accept(std::chrono::steady_clock::now())) {
        if (const TrayEvents events = self->shared->Events(); events.resumed) events.resumed();
      }
      return TRUE;
    case WM_CLOSE: DestroyWindow(hwnd); return 0;
    case WM_DESTROY:
      if (self->power != nullptr) {
        using UnregisterFn = BOOL(WINAPI*)(HPOWERNOTIFY);
        if (const auto unreg = reinterpret_cast<UnregisterFn>(reinterpret_cast<void*>(
                GetProcAddress(GetModuleHandleW(L"user32.dll"), "UnregisterSuspendResumeNotification")))) {
          unreg(self->power);
        }
      }
      if (self->shown) Shell_NotifyIconW(NIM_DELETE, &self->record);
      self->shown = false;
      self->window = nullptr;
      self->Publish();
      PostQuitMessage(0);
      return 0;
    default: return DefWindowProcW(hwnd, message, wparam, lparam);
  }
}

TrayIcon::TrayIcon(std::shared_ptr<TrayPresence::Shared> shared) : impl_(std::make_unique<Impl>(std::move(shared))) {}

TrayIcon::~TrayIcon() {
  if (!impl_->thread.joinable()) return;
  // The window may not exist yet: wait until the thread has made it (or failed).
  while (!impl_->settled) Sleep(1);
  if (const HWND hwnd = impl_->window.load()) PostMessageW(hwnd, WM_CLOSE, 0, 0);
  impl_->thread.join();
}

void TrayIcon::Ensure() {
  if (impl_->started.exchange(true)) {
    if (const HWND hwnd = impl_->window.load()) PostMessageW(hwnd, kRefresh, 0, 0);
    return;
  }
  impl_->thread = std::thread([impl = impl_.get()] { impl->Run(); });
}

void TrayIcon::PostNotice() {
  if (const HWND hwnd = impl_->window.load()) PostMessageW(hwnd, kNotice, 0, 0);
}

bool ShowHostWindow(std::intptr_t window) {
  const HWND hwnd = reinterpret_cast<HWND>(window);
  if (hwnd == nullptr || !IsWindow(hwnd)) return false;
  ShowWindow(hwnd, SW_SHOW);
  SetForegroundWindow(hwnd);
  return true;
}

}  // namespace vlvpn
