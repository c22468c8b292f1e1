#include "ui/win32/form2.h"

#include <algorithm>
#include <string>

#include "shell/window_placement.h"
#include "shell/window_texts.h"
#include "ui/win32/controls.h"
#include "ui/win32/wide_text.h"

namespace tessarine::ui::win32 {

namespace {

constexpr wchar_t kClassName[] = L"TForm2";
constexpr int kMargin = 8;

// A label as wide and high as its text in the design font.
HWND AddLabel(HWND parent, const std::wstring& text, int left, int top, RECT& used) {
  RECT size{0, 0, 0, 0};
  const HDC dc = GetDC(parent);
  const HGDIOBJ old = SelectObject(dc, DesignFont());
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &size, DT_CALCRECT | DT_NOPREFIX);
  SelectObject(dc, old);
  ReleaseDC(parent, dc);
  const HWND label = AddControl(parent, L"STATIC", text, SS_LEFT | SS_NOPREFIX, left, top, size.right, size.bottom);
  used.right = std::max<LONG>(used.right, left + size.right);
  used.bottom = std::max<LONG>(used.bottom, top + size.bottom);
  return label;
}

}  // namespace

TForm2::TForm2() {
  RegisterWindowClass(kClassName, &TForm2::windowProc);
  m_window = CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_TOPMOST, kClassName, Wide(shell::kAboutCaption).c_str(),
                             WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT, CW_USEDEFAULT, kClientWidth, kClientHeight,
                             nullptr, nullptr, GetModuleHandleW(nullptr), this);
  m_emblem = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), L"MAINICON", IMAGE_ICON, 64, 64, 0));
  if (m_emblem != nullptr) {
    const HWND image = AddControl(m_window, L"STATIC", L"", SS_ICON | SS_CENTERIMAGE | SS_REALSIZEIMAGE, 8, 8, 89, 73);
    SendMessageW(image, STM_SETICON, reinterpret_cast<WPARAM>(m_emblem), 0);
  }
  RECT used{0, 0, kClientWidth - kMargin, kClientHeight - kMargin};
  AddLabel(m_window, Wide(shell::kAboutName), 112, 16, used);
  AddLabel(m_window, Wide(shell::kAboutVersion), 112, 35, used);
  AddLabel(m_window, Wide(shell::kAboutBuildDate), 112, 54, used);
  std::wstring note;
  for (const std::u16string& line : shell::AboutNoteLines()) {
    if (!note.empty()) note += L"\r\n";
    note += Wide(line);
  }
  AddLabel(m_window, note, 40, 87, used);
  // The layout is drawn for Tahoma; where a wider font stands in for it, the window grows to show every line whole.
  const shell::TSize outer = OuterSize(m_window, used.right + kMargin, used.bottom + kMargin);
  SetWindowPos(m_window, nullptr, 0, 0, outer.Width, outer.Height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

TForm2::~TForm2() {
  DestroyWindow(m_window);
  if (m_emblem != nullptr) DestroyIcon(m_emblem);
}

void TForm2::ShowAbout() {
  if (!m_placed) {
    m_placed = true;
    RECT rect{};
    GetWindowRect(m_window, &rect);
    const shell::TPoint at =
        shell::CentredPosition(WorkArea(), VirtualDesktop(), {rect.right - rect.left, rect.bottom - rect.top});
    SetWindowPos(m_window, nullptr, at.X, at.Y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  ShowWindow(m_window, SW_SHOW);
  SetForegroundWindow(m_window);
}

LRESULT CALLBACK TForm2::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  WindowObject<TForm2>(window, message, lParam);
  if (message == WM_CLOSE) {
    ShowWindow(window, SW_HIDE);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace tessarine::ui::win32
