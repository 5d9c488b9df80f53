#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <objbase.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>

#include "app/bundle_host.h"
#include "app/host_window.h"
#include "app/single_instance.h"
#include "app/stdio_host.h"
#include "app/window_geometry.h"
#include "common/process_path.h"
#include "common/text.h"
#include "startup/launch_at_login.h"

namespace vlvpn {
namespace {

constexpr WORD kIconResource = 1008;
constexpr UINT_PTR kRepaintTimer = 1;

// What the window shows and acts on; lives on the main thread.
struct HostWindow {
  std::shared_ptr<ModuleServices> services;
  std::string interface_line;
};

template <typename Fn>
Fn UserCall(const char* name) {
  const HMODULE user32 = GetModuleHandleW(L"user32.dll");
  return user32 == nullptr ? nullptr : reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(user32, name)));
}

WorkArea WorkAreaOf(HWND hwnd) {
  if (hwnd != nullptr) {
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    if (const HMONITOR monitor = MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST);
        monitor != nullptr && GetMonitorInfoW(monitor, &info)) {
      return {info.rcWork.left, info.rcWork.top, info.rcWork.right, info.rcWork.bottom};
    }
  }
  RECT work{};
  if (SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0)) return {work.left, work.top, work.right, work.bottom};
  return {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN) - 48};
}

unsigned DpiOf(HWND hwnd) {
  using DpiFn = UINT(WINAPI*)(HWND);
  if (const auto dpi_for_window = UserCall<DpiFn>("GetDpiForWindow")) {
    if (const UINT dpi = dpi_for_window(hwnd); dpi != 0) return dpi;
  }
  return 96;
}

Size FrameOf(HWND hwnd, unsigned dpi) {
  const auto style = static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_STYLE));
  const auto ex_style = static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_EXSTYLE));
  RECT frame{0, 0, 0, 0};
  using AdjustFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
  const auto adjust_for_dpi = UserCall<AdjustFn>("AdjustWindowRectExForDpi");
  const BOOL adjusted = adjust_for_dpi != nullptr ? adjust_for_dpi(&frame, style, FALSE, ex_style, dpi)
                                                  : AdjustWindowRectEx(&frame, style, FALSE, ex_style);
  if (!adjusted) return {};
  return {frame.right - frame.left, frame.bottom - frame.top};
}

void SizeAndCentre(HWND hwnd) {
  const unsigned dpi = DpiOf(hwnd);
  const Size frame = FrameOf(hwnd, dpi);
  const Size client = HostClientSize(dpi, WorkAreaOf(hwnd), frame);
  SetWindowPos(hwnd, nullptr, 0, 0, client.width + frame.width, client.height + frame.height,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  RECT outer{};
  GetWindowRect(hwnd, &outer);
  const Point origin = CentredOrigin(WorkAreaOf(hwnd), {outer.right - outer.left, outer.bottom - outer.top});
  SetWindowPos(hwnd, nullptr, origin.x, origin.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void SetIcons(HWND hwnd) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  const auto load = [instance](int size_metric) {
    const int size = GetSystemMetrics(size_metric);
    return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON, size, size, 0));
  };
  if (const HICON big = load(SM_CXICON)) SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
  if (const HICON small = load(SM_CXSMICON)) SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
}

void Paint(HWND hwnd, const HostWindow& host) {
  PAINTSTRUCT paint;
  const HDC dc = BeginPaint(hwnd, &paint);
  RECT client{};
  GetClientRect(hwnd, &client);
  const HBRUSH background = CreateSolidBrush(RGB(0x12, 0x1a, 0x2b));
  FillRect(dc, &client, background);
  DeleteObject(background);
  SetBkMode(dc, TRANSPARENT);

  const int dpi = static_cast<int>(DpiOf(hwnd));
  const auto font = [dpi](int points, int weight) {
    return CreateFontW(-MulDiv(points, dpi, 72), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH, L"Segoe UI");
  };
  const HFONT title = font(22, FW_BOLD);
  const HFONT body = font(11, FW_NORMAL);
  const int margin = MulDiv(40, dpi, 96);

  const auto snapshot = host.services->tunnel->Snapshot();
  const std::string state(snapshot->state());
  const bool connected = state == "connected";
  std::string tunnel_line = "Tunnel: " + state;
  if (!snapshot->profile_id.empty()) tunnel_line += " (" + snapshot->profile_id + ")";
  if (!snapshot->message.empty()) tunnel_line += " - " + snapshot->message;

  RECT line{client.left + margin, client.top + margin, client.right - margin, client.bottom - margin};
  const HGDIOBJ previous = SelectObject(dc, title);
  SetTextColor(dc, RGB(0xff, 0xff, 0xff));
  DrawTextW(dc, L"Velunor VPN", -1, &line, DT_LEFT | DT_TOP | DT_SINGLELINE);
  line.top += MulDiv(56, dpi, 96);
  SelectObject(dc, body);
  SetTextColor(dc, connected ? RGB(0x4c, 0xd9, 0x7b) : RGB(0xc8, 0xd0, 0xe0));
  const std::wstring tunnel_text = Utf8ToWide(tunnel_line);
  DrawTextW(dc, tunnel_text.c_str(), -1, &line, DT_LEFT | DT_TOP | DT_WORDBREAK);
  line.top += MulDiv(32, dpi, 96);
  SetTextColor(dc, RGB(0x8a, 0x96, 0xad));
  const std::wstring interface_text = Utf8ToWide(host.interface_line);
  DrawTextW(dc, interface_text.c_str(), -1, &line, DT_LEFT | DT_TOP | DT_WORDBREAK);
  SelectObject(dc, previous);
  DeleteObject(title);
  DeleteObject(body);
  EndPaint(hwnd, &paint);
}

LRESULT CALLBACK HostProcedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* host = reinterpret_cast<HostWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (message) {
    case WM_CLOSE:
      // Closing hides: the tunnel and the tray stay. The process ends from the tray.
      ShowWindow(hwnd, SW_HIDE);
      if (host != nullptr) host->services->desktop.tray->HiddenToBackground();
      return 0;
    case WM_PAINT:
      if (host == nullptr) break;
      Paint(hwnd, *host);
      return 0;
    case WM_TIMER:
      if (IsWindowVisible(hwnd)) InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_DPICHANGED: {
      const auto* suggested = reinterpret_cast<const RECT*>(lparam);
      SetWindowPos(hwnd, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                   suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    default: break;
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

void MakeDpiAware() {
  using SetContextFn = BOOL(WINAPI*)(HANDLE);
  if (const auto set_context = UserCall<SetContextFn>("SetProcessDpiAwarenessContext")) {
    set_context(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4)));  // per monitor, version 2
  }
}

[[noreturn]] void Fail(const std::wstring& what) {
  MessageBoxW(nullptr, what.c_str(), kHostWindowTitle, MB_ICONERROR | MB_OK);
  std::_Exit(1);
}

int RunDesktop() {
  auto instance = SingleInstance::Claim(nullptr);
  if (!instance) return 0;
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) Fail(L"Could not initialise COM.");
  // The startup task's activation kind lives in the Windows Runtime, which this build
  // does not bind; the Run value's switch is what starts us at login.
  const bool launched_at_startup = CommandLineAsksForStartup(WideToUtf8(GetCommandLineW()));
  MakeDpiAware();
  const std::filesystem::path folder = ExecutablePath().parent_path();

  // "Exit Velunor VPN" comes from the tray thread; the bundle host may not exist yet.
  auto running_bundle = std::make_shared<std::atomic<BundleHost*>>(nullptr);
  TrayOptions tray_options;
  tray_options.icon = true;
  tray_options.exit_process = [running_bundle] {
    if (BundleHost* bundle = running_bundle->load()) bundle->CloseOutput();
    std::fflush(nullptr);
  };
  DesktopShell shell;
  shell.tray = std::make_shared<TrayPresence>(std::move(tray_options));
  shell.launched_at_startup = launched_at_startup;
  auto services = std::make_shared<ModuleServices>(DataLocations(), ModuleServices::DefaultTunnelEnvironment(), shell);
  services->locations.RemoveCrashLeftovers();  // writes a crash cut short

  HostWindow host{services, {}};
  const HINSTANCE module = GetModuleHandleW(nullptr);
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = &HostProcedure;
  window_class.hInstance = module;
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.lpszClassName = kHostWindowClass;
  if (RegisterClassExW(&window_class) == 0) Fail(L"Could not register the window class.");
  const DWORD style = WS_OVERLAPPEDWINDOW & ~(WS_THICKFRAME | WS_MAXIMIZEBOX);
  const HWND hwnd = CreateWindowExW(0, kHostWindowClass, kHostWindowTitle, style, CW_USEDEFAULT, CW_USEDEFAULT,
                                    CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, module, &host);
  if (hwnd == nullptr) Fail(L"Could not create the window.");
  SizeAndCentre(hwnd);
  SetIcons(hwnd);
  shell.tray->SetMainWindow(reinterpret_cast<std::intptr_t>(hwnd));
  SetTimer(hwnd, kRepaintTimer, 1000, nullptr);

  // The interface; without it the window and the tray still work.
  BundleHost bundle(services, folder);
  running_bundle->store(&bundle);
  host.interface_line = bundle.failure().empty()
                            ? "Interface running (pid " + std::to_string(bundle.child_pid()) + ")."
                            : "Interface not running: " + bundle.failure();
  if (!bundle.failure().empty()) InitializeTunnelModule(*services, {});
  shell.tray->Ensure();
  if (!launched_at_startup) ShowWindow(hwnd, SW_SHOW);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}

}  // namespace
}  // namespace vlvpn

int wmain(int argc, wchar_t** argv) {
  bool stdio = false;
  for (int i = 1; i < argc; ++i) stdio = stdio || std::wcscmp(argv[i], L"--stdio") == 0;
  if (!stdio) std::_Exit(vlvpn::RunDesktop());
  // The protocol is UTF-8 lines ending in a single line feed, both ways.
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  // Every call has settled and its line is out; workers may still be
  // finishing, and must not race the destruction of process-wide state.
  std::_Exit(vlvpn::RunStdioHostOnStandardStreams(vlvpn::CommandLineAsksForStartup(vlvpn::WideToUtf8(GetCommandLineW()))));
}
