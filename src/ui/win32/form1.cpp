#include "ui/win32/form1.h"

#include <algorithm>
#include <cwctype>
#include <optional>

#include "shell/error_box.h"
#include "shell/window_placement.h"
#include "shell/window_texts.h"
#include "ui/win32/controls.h"
#include "ui/win32/form2.h"
#include "ui/win32/wide_text.h"

namespace tessarine::ui::win32 {

namespace {

constexpr wchar_t kClassName[] = L"TForm1";
constexpr int kLabelHeight = 13;
// How often a visible log takes in the queued lines: soon enough to look immediate, seldom enough that the text is
// edited once per batch rather than once per line.
constexpr UINT kDrainIntervalMs = 50;

}  // namespace

TForm1::TForm1(TForm1Options options)
    : m_terminate(options.Terminate ? std::move(options.Terminate)
                                    : std::function<void()>([] { PostQuitMessage(0); })) {
  RegisterWindowClass(kClassName, &TForm1::windowProc);
  m_window = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, kClassName, Wide(shell::kMainFormCaption).c_str(),
                             WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN, CW_USEDEFAULT, CW_USEDEFAULT,
                             kClientWidth, kClientHeight, nullptr, nullptr, GetModuleHandleW(nullptr), this);
  const shell::TSize outer = OuterSize(m_window, kClientWidth, kClientHeight);
  SetWindowPos(m_window, nullptr, 0, 0, outer.Width, outer.Height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

  m_core = std::make_unique<shell::TProxyCore>(static_cast<shell::IDesktopShell&>(*this), std::move(options));
  sLabel1 = AddControl(m_window, L"STATIC", Wide(m_core->LogCaption()), SS_LEFT | SS_NOPREFIX, 0, 0, kClientWidth,
                       kLabelHeight);
  sMemo1 = std::make_unique<TLogMemo>(m_window, m_core->LogLines(), 0, kLabelHeight, kClientWidth,
                                      kClientHeight - kLabelHeight);
  m_menuView =
      std::make_unique<TMenuView>(m_core->PopupMenu1, [this](const std::string& name) { return menuPicture(name); });
  m_trayIcon = std::make_unique<TTrayIcon>(m_window, kTrayMessage);
  SetTrayPicture(m_core->TrayPicture());

  SetTimer(m_window, kTimer1Id, shell::TProxyCore::kTimer1Interval, nullptr);
  m_core->Created();
}

TForm1::~TForm1() {
  KillTimer(m_window, kTimer1Id);
  KillTimer(m_window, kDrainTimerId);
  m_core.reset();
  m_trayIcon.reset();
  m_menuView.reset();
  DestroyWindow(m_window);
  for (const auto& [name, icon] : m_pictures) DestroyIcon(icon);
  for (const auto& [name, bitmap] : m_menuPictures) DeleteObject(bitmap);
}

void TForm1::ShowMainForm() {
  if (IsIconic(m_window)) ShowWindow(m_window, SW_RESTORE);
  ShowWindow(m_window, SW_SHOW);
  SetForegroundWindow(m_window);
  SetFocus(sMemo1->Handle());
}

void TForm1::MinimizeToTray() {
  ShowWindow(m_window, SW_HIDE);
  m_trayIcon->Show();
}

void TForm1::PopupAtCursor() {
  POINT at{};
  GetCursorPos(&at);
  // Without the foreground the menu would stay open when the user clicks elsewhere; the null message afterwards
  // lets a second click on the icon open it again (the documented pair for notification-area menus).
  SetForegroundWindow(m_window);
  const UINT command = static_cast<UINT>(TrackPopupMenu(
      m_menuView->Handle(), TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, at.x, at.y, 0, m_window, nullptr));
  PostMessageW(m_window, WM_NULL, 0, 0);
  // After the menu has closed, as the core expects.
  m_menuView->Perform(command);
}

void TForm1::ShowAbout() {
  if (Form2 != nullptr) Form2->ShowAbout();
}

void TForm1::ClearLog() { sMemo1->ClearLog(); }

void TForm1::SetLogCaption(const std::u16string& caption) { SetWindowTextW(sLabel1, Wide(caption).c_str()); }

void TForm1::SetTrayPicture(std::string_view picture) { m_trayIcon->SetIcon(this->picture(picture)); }

void TForm1::Terminate() { m_terminate(); }

// The pictures are icon resources named as in the image list; an unknown one shows the program's icon.
HICON TForm1::picture(std::string_view name) {
  if (auto found = m_pictures.find(name); found != m_pictures.end()) return found->second;
  std::wstring resource(name.begin(), name.end());
  std::transform(resource.begin(), resource.end(), resource.begin(), [](wchar_t c) { return std::towupper(c); });
  const int size = GetSystemMetrics(SM_CXSMICON);
  HICON icon = nullptr;
  for (const wchar_t* candidate : {resource.c_str(), L"MAINICON"}) {
    icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), candidate, IMAGE_ICON, size, size, 0));
    if (icon != nullptr) break;
  }
  if (icon == nullptr) icon = CopyIcon(LoadIconW(nullptr, IDI_APPLICATION));
  m_pictures.emplace(std::string(name), icon);
  return icon;
}

HBITMAP TForm1::menuPicture(const std::string& name) {
  if (auto found = m_menuPictures.find(name); found != m_menuPictures.end()) return found->second;
  const int size = GetSystemMetrics(SM_CXSMICON);
  BITMAPINFO format{};
  format.bmiHeader.biSize = sizeof(format.bmiHeader);
  format.bmiHeader.biWidth = size;
  format.bmiHeader.biHeight = -size;  // top-down
  format.bmiHeader.biPlanes = 1;
  format.bmiHeader.biBitCount = 32;
  format.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  const HDC screen = GetDC(nullptr);
  const HBITMAP bitmap = CreateDIBSection(screen, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap != nullptr) {
    // Drawn onto transparent black, the icon's own alpha channel is kept.
    const HDC dc = CreateCompatibleDC(screen);
    const HGDIOBJ old = SelectObject(dc, bitmap);
    DrawIconEx(dc, 0, 0, picture(name), size, size, 0, nullptr, DI_NORMAL);
    SelectObject(dc, old);
    DeleteDC(dc);
  }
  ReleaseDC(nullptr, screen);
  m_menuPictures.emplace(name, bitmap);
  return bitmap;
}

void TForm1::formShow() {
  RECT rect{};
  GetWindowRect(m_window, &rect);
  const shell::TPoint at =
      shell::FormShowPosition(PrimaryScreen(), WorkArea(), {rect.right - rect.left, rect.bottom - rect.top});
  SetWindowPos(m_window, nullptr, at.X, at.Y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT CALLBACK TForm1::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  TForm1* form = WindowObject<TForm1>(window, message, lParam);
  // Until the constructor has made the last of its parts (messages come while it makes them), and once the destructor
  // has begun with the core, the window is just a window.
  if (form == nullptr || form->m_core == nullptr || form->m_trayIcon == nullptr) {
    return DefWindowProcW(window, message, wParam, lParam);
  }
  return form->handle(message, wParam, lParam);
}

LRESULT TForm1::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  std::optional<shell::TIconMessage> mouse;
  if (m_trayIcon->HandleMessage(message, wParam, lParam, mouse)) {
    if (mouse) shell::RunHandler([&] { m_core->HandleIconMessage(*mouse); });
    return 0;
  }
  switch (message) {
    case WM_TIMER:
      if (wParam == kTimer1Id) shell::RunHandler([this] { m_core->Timer1Timer(); });
      if (wParam == kDrainTimerId) sMemo1->FlushPending();
      return 0;
    case WM_SHOWWINDOW:
      if (wParam) {
        shell::RunHandler([this] { formShow(); });
        // Before the first paint, so the window never shows the text without the lines logged while hidden.
        sMemo1->FlushPending();
        SetTimer(m_window, kDrainTimerId, kDrainIntervalMs, nullptr);
      } else {
        KillTimer(m_window, kDrainTimerId);
      }
      break;
    case WM_SYSCOMMAND:
      // A minimize goes to the tray, as a close does, so that Show log brings the window back placed.
      if ((wParam & 0xFFF0) == SC_MINIMIZE) {
        shell::RunHandler([this] { MinimizeToTray(); });
        return 0;
      }
      break;
    case WM_CLOSE: {
      bool canClose = true;
      shell::RunHandler([&] { m_core->FormCloseQuery(canClose); });
      if (canClose) ShowWindow(m_window, SW_HIDE);
      return 0;
    }
    case WM_QUERYENDSESSION:
      // A tray program must never keep the user from logging off.
      return TRUE;
    case WM_ENDSESSION:
      if (wParam) shell::RunHandler([this] { m_core->SessionEnding(); });
      return 0;
    case WM_CTLCOLORSTATIC:
      // The read-only log is drawn as text to read, not greyed out as a disabled field.
      if (reinterpret_cast<HWND>(lParam) == sMemo1->Handle()) {
        SetBkColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
      }
      break;
    default:
      break;
  }
  return DefWindowProcW(m_window, message, wParam, lParam);
}

}  // namespace tessarine::ui::win32
