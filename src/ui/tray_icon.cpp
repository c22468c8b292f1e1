#include "ui/tray_icon.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QWidget>

#include "shell/error_box.h"
#include "ui/image_list.h"

namespace tessarine::ui {

namespace {

// The platforms that draw into memory have no notification area and never get one. Nor does Wayland without
// a StatusNotifierItem: Qt's other tray, XEmbed, is X11's.
bool TrayPossible(bool statusNotifierItem) {
  const QString platform = QGuiApplication::platformName();
  if (platform.startsWith(QLatin1String("wayland"))) return statusNotifierItem;
  return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

}  // namespace

TTrayIcon::TTrayIcon(const TImageList& iconList, QMenu& popupMenu, shell::TPopupMenu& menuModel, QWidget& mainForm,
                     std::function<void(shell::TIconMessage)> onMessage, QObject* parent)
    : QObject(parent),
      m_iconList(iconList),
      m_popupMenu(popupMenu),
      m_mainForm(mainForm),
      m_onMessage(std::move(onMessage)) {
  // No tooltip: the tip text stays empty.
  m_icon.setToolTip(QString());
  SetIconIndex(0);
  // Qt exports a context menu only for a StatusNotifierItem, where it becomes a platform menu; the XEmbed icon
  // would open a context menu itself on a right-button press, beside PopupAtCursor, so it keeps none.
  m_exportedMenu = std::make_unique<TExportedMenu>(menuModel, iconList);
  m_icon.setContextMenu(&m_exportedMenu->Menu());
  if (!m_exportedMenu->Menu().platformMenu()) {
    m_icon.setContextMenu(nullptr);
    m_exportedMenu.reset();
  }
  connect(&m_icon, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) { shell::RunHandler([&] { HandleIconMessage(reason); }); });
}

TTrayIcon::~TTrayIcon() { SetIconVisible(false); }

void TTrayIcon::SetIconIndex(int index) {
  if (index >= m_iconList.Count()) index = m_iconList.Count() - 1;
  m_iconIndex = index;
  m_icon.setIcon(m_iconList.Icon(index));
}

void TTrayIcon::SetIconVisible(bool visible) {
  m_iconVisible = visible;
  if (!TrayPossible(m_exportedMenu != nullptr)) return;
  // With no tray host at the moment Qt keeps the icon pending and docks it when a host announces itself
  // (the X11 tray manager selection), which is the taskbar-restart rule.
  m_icon.setVisible(visible);
}

void TTrayIcon::ShowMainForm() {
  if (m_mainForm.isMinimized()) m_mainForm.setWindowState(m_mainForm.windowState() & ~Qt::WindowMinimized);
  m_mainForm.show();
  m_mainForm.raise();
  m_mainForm.activateWindow();
}

void TTrayIcon::HideMainForm() { m_mainForm.hide(); }

void TTrayIcon::PopupAtCursor() { m_popupMenu.popup(QCursor::pos()); }

void TTrayIcon::MinimizeToTray() {
  HideMainForm();
  SetIconVisible(true);
}

void TTrayIcon::HandleIconMessage(QSystemTrayIcon::ActivationReason reason) {
  switch (reason) {
    case QSystemTrayIcon::Context:
      // Also a StatusNotifierItem host that draws no menu of its own asks for this; Wayland lets Qt show the
      // menu only as a window that the compositor places.
      m_onMessage(shell::TIconMessage::ContextMenu);
      break;
    case QSystemTrayIcon::DoubleClick:
      m_onMessage(shell::TIconMessage::DoubleClick);
      break;
    case QSystemTrayIcon::MiddleClick:
      m_onMessage(shell::TIconMessage::MiddleClick);
      break;
    default:
      // A StatusNotifierItem host's Activate is a single click (D-Bus has no double click), so it does nothing
      // either: the default item switches the interface to Russian, which a click on the icon must not do unasked.
      m_onMessage(shell::TIconMessage::Click);
      break;
  }
}

}  // namespace tessarine::ui
