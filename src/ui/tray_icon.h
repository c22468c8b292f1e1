#pragma once

#include <QObject>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>

#include "shell/desktop_shell.h"
#include "shell/popup_menu.h"
#include "ui/exported_menu.h"

class QMenu;
class QWidget;

namespace tessarine::ui {

class TImageList;

// The notification-area icon TrayIcon. Its picture always comes from the image list; the mouse's actions go to
// the core (which opens the popup menu at the pointer on a right-button press and performs the menu's default
// item on a left double click), and minimizing the application hides the main window and puts the icon in the
// tray.
//
// Qt shows the icon as a StatusNotifierItem over D-Bus when a StatusNotifierItem host is registered on the
// session bus as the program starts, otherwise in an XEmbed tray (X11 only). Such a host draws the menu itself
// from a menu that the icon exports (TExportedMenu, drawn from the menu model); the XEmbed icon exports none.
//
// Without a notification area (offscreen, or an X11 desktop with no tray yet) the icon still counts as
// visible; an XEmbed icon appears as soon as a tray announces itself.
class TTrayIcon : public QObject {
  Q_OBJECT

 public:
  // onMessage: where the icon's mouse actions go.
  TTrayIcon(const TImageList& iconList, QMenu& popupMenu, shell::TPopupMenu& menuModel, QWidget& mainForm,
            std::function<void(shell::TIconMessage)> onMessage, QObject* parent = nullptr);
  ~TTrayIcon() override;

  int IconIndex() const { return m_iconIndex; }
  // A value at or beyond the list's count shows the last picture.
  void SetIconIndex(int index);

  bool IconVisible() const { return m_iconVisible; }
  void SetIconVisible(bool visible);

  // The main window back on screen, in front.
  void ShowMainForm();
  // The main window off screen; the application keeps running in the tray.
  void HideMainForm();
  // Opens the popup menu at the pointer; the chosen item's handler runs once the menu has closed.
  void PopupAtCursor();
  // What minimizing the application does: the main window hidden, the icon in the tray.
  void MinimizeToTray();

  // The tray's mouse actions, as the notification area reports them, passed on to onMessage.
  void HandleIconMessage(QSystemTrayIcon::ActivationReason reason);

  QSystemTrayIcon& Icon() { return m_icon; }
  // The menu as a StatusNotifierItem exports it; null for the XEmbed icon and without a tray.
  TExportedMenu* ExportedMenu() { return m_exportedMenu.get(); }

 private:
  const TImageList& m_iconList;
  QMenu& m_popupMenu;
  QWidget& m_mainForm;
  std::function<void(shell::TIconMessage)> m_onMessage;
  // Before the icon, so that the icon goes first and never exports a menu that is gone.
  std::unique_ptr<TExportedMenu> m_exportedMenu;
  QSystemTrayIcon m_icon;
  int m_iconIndex = 0;
  bool m_iconVisible = false;
};

}  // namespace tessarine::ui
