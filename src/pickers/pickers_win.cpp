#include <windows.h>

#include <commdlg.h>
#include <ole2.h>

#include <vector>

#include "pickers/pickers.h"

namespace vlvpn {

std::optional<std::filesystem::path> ChooseFile(PickerKind kind) {
  // Filters are pairs of NUL-terminated texts, ended by one more NUL.
  static constexpr wchar_t kAppFilter[] = L"Applications (*.exe)\0*.exe\0All files\0*.*\0";
  static constexpr wchar_t kProfileFilter[] = L"OpenVPN config (*.ovpn)\0*.ovpn\0All files\0*.*\0";
  const bool app = kind == PickerKind::kApp;

  // Room for the longest path Windows knows: with 260, a longer choice came back as
  // "cancelled".
  std::vector<wchar_t> file(32768, L'\0');
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof(dialog);
  dialog.hwndOwner = nullptr;
  dialog.lpstrFilter = app ? kAppFilter : kProfileFilter;
  dialog.lpstrFile = file.data();
  dialog.nMaxFile = static_cast<DWORD>(file.size());
  dialog.lpstrInitialDir = app ? L"C:\\Program Files" : nullptr;
  dialog.lpstrTitle = app ? L"Choose an app to close when the VPN drops" : L"Import OpenVPN Profile (.ovpn)";
  dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;

  // Loaded when a picker opens: importing the common dialogs would load them (and what
  // they pull in) into every start of the process for a dialog most runs never show.
  const HMODULE dialogs = LoadLibraryW(L"comdlg32.dll");
  if (dialogs == nullptr) return std::nullopt;
  using OpenFn = BOOL(WINAPI*)(LPOPENFILENAMEW);
  const auto open = reinterpret_cast<OpenFn>(reinterpret_cast<void*>(GetProcAddress(dialogs, "GetOpenFileNameW")));
  const HRESULT ole = OleInitialize(nullptr);
  const BOOL chosen = open != nullptr && open(&dialog);
  if (SUCCEEDED(ole)) OleUninitialize();
  FreeLibrary(dialogs);
  if (!chosen) return std::nullopt;
  return std::filesystem::path(std::wstring(file.data(), wcsnlen(file.data(), file.size())));
}

}  // namespace vlvpn
