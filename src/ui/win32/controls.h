#pragma once

#include <windows.h>

#include <string>

#include "shell/window_placement.h"

namespace tessarine::ui::win32 {

// Registers a window class of this module once (later calls with the same name do nothing).
void RegisterWindowClass(const wchar_t* name, WNDPROC procedure);
// Tahoma 8, the font the windows are laid out for; one for the whole program.
HFONT DesignFont();
// A child control of the window with the design font.
HWND AddControl(HWND parent, const wchar_t* className, const std::wstring& text, DWORD style, int left, int top,
                int width, int height);
// The primary screen, its work area (without the task bar) and the whole desktop.
shell::TRect PrimaryScreen();
shell::TRect WorkArea();
shell::TRect VirtualDesktop();
// The outer size of a window whose client area has this size, with its frame and caption.
shell::TSize OuterSize(HWND window, int clientWidth, int clientHeight);
// The window procedure's object, kept in the window's user data from WM_NCCREATE on (nullptr before).
template <typename T>
T* WindowObject(HWND window, UINT message, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* object = static_cast<T*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(object));
    return object;
  }
  return reinterpret_cast<T*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

}  // namespace tessarine::ui::win32
