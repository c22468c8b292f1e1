#pragma once

#include <windows.h>
// After windows.h.
#include <shellapi.h>

#include <functional>
#include <optional>
#include <string>

#include "shell/desktop_shell.h"

namespace tessarine::ui::win32 {

// The tray icon TrayIcon in the notification area through Shell_NotifyIconW. The shell's window receives its mouse
// messages as callbackMessage and hands every message to HandleMessage: when Explorer restarts, the notification
// area is new and empty, and the TaskbarCreated broadcast puts the icon back. An icon shown before there is a
// notification area at all (a session still starting) arrives the same way. UI thread only.
class TTrayIcon {
 public:
  // Shell_NotifyIconW, unless a test watches the calls.
  using TNotify = std::function<bool(DWORD message, NOTIFYICONDATAW& data)>;

  TTrayIcon(HWND window, UINT callbackMessage, TNotify notify = {});
  // Removes the icon.
  ~TTrayIcon();
  TTrayIcon(const TTrayIcon&) = delete;
  TTrayIcon& operator=(const TTrayIcon&) = delete;

  // The picture and the tip (at most 127 characters); an icon on show is changed at once.
  void SetIcon(HICON icon);
  void SetTip(const std::u16string& tip);
  void Show();
  void Hide();
  bool Visible() const { return m_visible; }

  // One message of the window. True when it was the icon's: the TaskbarCreated broadcast (the icon is added again),
  // or the callback message, whose mouse message is then in mouse (left empty for the ones the core ignores).
  bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, std::optional<shell::TIconMessage>& mouse);

 private:
  void notify(DWORD message);

  TNotify m_notify;
  NOTIFYICONDATAW m_data{};
  const UINT m_taskbarCreated;
  bool m_visible = false;
};

}  // namespace tessarine::ui::win32
