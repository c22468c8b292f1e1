#pragma once

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "shell/desktop_shell.h"
#include "shell/proxy_core.h"
#include "ui/frame_placement.h"
#include "ui/image_list.h"
#include "ui/log_memo.h"
#include "ui/menu_view.h"
#include "ui/tray_icon.h"

namespace tessarine::ui {

class TForm2;

struct TForm1Options : shell::TProxyCoreOptions {
  // Asks the application to end once the current message is handled (the last step of Exit).
  std::function<void()> Terminate;
};

// The main window Form1 as Qt draws it: the always-on-top log window, the popup menu, the tray icon, the image
// list and Timer1's clock. What they do is the core's (shell::TProxyCore: the server, the client, the service,
// the settings and every handler), which this window owns; the window draws the core's state and forwards what
// the user does to it.
class TForm1 : public QWidget, private shell::IDesktopShell {
  Q_OBJECT

 public:
  static constexpr int kClientWidth = 302;
  static constexpr int kClientHeight = 181;

  // Creates the components in their designed state, then the core runs FormCreate; a failure in FormCreate is
  // shown in the error box and the window is created all the same.
  explicit TForm1(TForm1Options options);
  // The core first (FormDestroy, the server stopped with every thread joined, the client released), then the tray
  // icon removed.
  ~TForm1() override;

  shell::TProxyCore& Core() { return *m_core; }

  // Places the window at the right edge of the primary screen, above a bottom panel; again once the window
  // manager has framed it, when the frame is not the size first assumed.
  void FormShow();

  // The About window, created by start-up after this window (not owned).
  void SetForm2(TForm2* form2) { Form2 = form2; }

  // The menu's action drawing an item of the core's menu; nullptr for none.
  QAction* MenuAction(const shell::TMenuItem* item) const { return m_menuView->ActionOf(item); }

  // shell::FormShowPosition on Qt's geometry.
  static QPoint FormShowPosition(const QRect& primaryScreen, const QRect& primaryWorkArea, const QSize& outerSize);

  // Components.
  QLabel* sLabel1;
  TLogMemo* sMemo1;
  TImageList sAlphaImageList1;
  QMenu* PopupMenu1;
  TTrayIcon* TrayIcon;
  QTimer* Timer1;

 protected:
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  // What the core asks of the windows.
  void ShowMainForm() override;
  void MinimizeToTray() override;
  void PopupAtCursor() override;
  void ShowAbout() override;
  void ClearLog() override;
  void SetLogCaption(const std::u16string& caption) override;
  void SetTrayPicture(std::string_view picture) override;
  void Terminate() override;

  std::function<void()> m_terminate;
  std::unique_ptr<shell::TProxyCore> m_core;
  TMenuView* m_menuView;
  TForm2* Form2 = nullptr;
  TFramePlacement* m_placement;
};

}  // namespace tessarine::ui
