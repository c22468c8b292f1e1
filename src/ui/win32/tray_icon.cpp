#include "ui/win32/tray_icon.h"

#include <algorithm>

namespace tessarine::ui::win32 {

TTrayIcon::TTrayIcon(HWND window, UINT callbackMessage, TNotify notify)
    : m_notify(notify ? std::move(notify) : TNotify([](DWORD message, NOTIFYICONDATAW& data) {
        return Shell_NotifyIconW(message, &data) != 0;
      })),
      m_taskbarCreated(RegisterWindowMessageW(L"TaskbarCreated")) {
  m_data.cbSize = sizeof(m_data);
  m_data.hWnd = window;
  m_data.uID = 1;
  m_data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  m_data.uCallbackMessage = callbackMessage;
}

TTrayIcon::~TTrayIcon() { Hide(); }

void TTrayIcon::SetIcon(HICON icon) {
  m_data.hIcon = icon;
  if (m_visible) notify(NIM_MODIFY);
}

void TTrayIcon::SetTip(const std::u16string& tip) {
  const size_t length = std::min(tip.size(), std::size(m_data.szTip) - 1);
  std::copy_n(tip.begin(), length, m_data.szTip);
  m_data.szTip[length] = L'\0';
  if (m_visible) notify(NIM_MODIFY);
}

void TTrayIcon::Show() {
  if (m_visible) return;
  m_visible = true;
  // Without a notification area yet the add fails; TaskbarCreated brings the icon when there is one.
  notify(NIM_ADD);
}

void TTrayIcon::Hide() {
  if (!m_visible) return;
  m_visible = false;
  notify(NIM_DELETE);
}

bool TTrayIcon::HandleMessage(UINT message, WPARAM, LPARAM lParam, std::optional<shell::TIconMessage>& mouse) {
  mouse.reset();
  if (message == m_taskbarCreated) {
    if (m_visible) notify(NIM_ADD);
    return true;
  }
  if (message != m_data.uCallbackMessage) return false;
  // The icon speaks the first version of the protocol: the mouse message is the whole lParam.
  switch (static_cast<UINT>(lParam)) {
    case WM_RBUTTONUP:
    case WM_CONTEXTMENU:
      mouse = shell::TIconMessage::ContextMenu;
      break;
    case WM_LBUTTONUP:
      mouse = shell::TIconMessage::Click;
      break;
    case WM_LBUTTONDBLCLK:
      mouse = shell::TIconMessage::DoubleClick;
      break;
    case WM_MBUTTONUP:
      mouse = shell::TIconMessage::MiddleClick;
      break;
    default:
      break;
  }
  return true;
}

void TTrayIcon::notify(DWORD message) { m_notify(message, m_data); }

}  // namespace tessarine::ui::win32
