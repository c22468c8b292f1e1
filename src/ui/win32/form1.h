#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "shell/desktop_shell.h"
#include "shell/proxy_core.h"
#include "ui/win32/log_memo.h"
#include "ui/win32/menu_view.h"
#include "ui/win32/tray_icon.h"

namespace tessarine::ui::win32 {

class TForm2;

struct TForm1Options : shell::TProxyCoreOptions {
  // Asks the application to end once the current message is handled (the last step of Exit); empty: the
  // thread's message loop is told to quit.
  std::function<void()> Terminate;
};

// The main window Form1 as Win32 draws it: the top-most log window (label and log text), the popup menu, the tray
// icon and Timer1. What they do is the core's (shell::TProxyCore), which this window owns; the window draws the
// core's state and forwards what the user does. UI thread only.
class TForm1 : private shell::IDesktopShell {
 public:
  static constexpr int kClientWidth = 302;
  static constexpr int kClientHeight = 181;
  // The tray icon's mouse messages arrive as this message.
  static constexpr UINT kTrayMessage = WM_APP + 1;
  static constexpr UINT_PTR kTimer1Id = 1;
  static constexpr UINT_PTR kDrainTimerId = 2;

  // Creates the windows and components in their designed state, then the core runs FormCreate; a failure in it is
  // shown in the error box and the window is created all the same.
  explicit TForm1(TForm1Options options);
  // The core first (FormDestroy, the server stopped with every thread joined, the client released), then the tray
  // icon removed and the window destroyed.
  ~TForm1() override;
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;

  shell::TProxyCore& Core() { return *m_core; }
  HWND Handle() const { return m_window; }
  TLogMemo& Memo() { return *sMemo1; }
  TTrayIcon& TrayIcon() { return *m_trayIcon; }
  TMenuView& MenuView() { return *m_menuView; }
  // The About window, created by start-up after this window (not owned).
  void SetForm2(TForm2* form2) { Form2 = form2; }

  // What the core asks of the windows.
  void ShowMainForm() override;
  void MinimizeToTray() override;
  void PopupAtCursor() override;
  void ShowAbout() override;
  void ClearLog() override;
  void SetLogCaption(const std::u16string& caption) override;
  void SetTrayPicture(std::string_view picture) override;
  void Terminate() override;

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
  // Places the window at the right edge of the primary screen, on a bottom panel.
  void formShow();
  HICON picture(std::string_view name);
  // The same picture as a bitmap with its transparency, as menus take pictures.
  HBITMAP menuPicture(const std::string& name);

  std::function<void()> m_terminate;
  HWND m_window = nullptr;
  HWND sLabel1 = nullptr;
  std::unique_ptr<TLogMemo> sMemo1;
  std::unique_ptr<shell::TProxyCore> m_core;
  std::unique_ptr<TMenuView> m_menuView;
  std::unique_ptr<TTrayIcon> m_trayIcon;
  std::map<std::string, HICON, std::less<>> m_pictures;
  std::map<std::string, HBITMAP, std::less<>> m_menuPictures;
  TForm2* Form2 = nullptr;
};

}  // namespace tessarine::ui::win32
