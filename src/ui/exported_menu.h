#pragma once

#include <QMenu>
#include <QObject>
#include <QPointer>
#include <vector>

class QAction;
class QEvent;

namespace tessarine::ui {

// The popup menu as a StatusNotifierItem's host shows it. Qt exports a tray icon's context menu over D-Bus
// (com.canonical.dbusmenu), and a menu that is exported no longer behaves as a plain widget menu; so the
// icon is given this copy instead, and the popup menu itself keeps opening at the pointer as before.
//
// The copy holds the menu's visible items in their order (hidden items take no room, and separators that
// would stand together or at an end are dropped, as the widget menu does), follows every change of their
// captions, pictures and check marks, and is rebuilt when items are added, removed, shown or hidden. An
// item chosen through the host triggers the menu's own item, and only while that item is visible and
// enabled: a host could otherwise send a click for an item the user cannot see.
class TExportedMenu : public QObject {
 public:
  explicit TExportedMenu(QMenu& source, QObject* parent = nullptr);

  QMenu& Menu() { return m_menu; }
  // The menu item a copy stands for; null when there is none (any more).
  QAction* SourceOf(const QAction* copy) const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct TItem {
    QPointer<QAction> Source;
    QAction* Copy;
  };

  void rebuild();
  // Rebuilds once control is back in the event loop: a rebuild deletes copies, and the source menu's events
  // also arrive while it is being destroyed or while a copy's own signal is running.
  void scheduleRebuild();
  void copyState(const QAction& source, QAction& copy);
  void choose(QAction* copy);
  const TItem* find(const QAction* copy) const;

  QPointer<QMenu> m_source;
  // The same menu, only compared with: its events still arrive while it is being destroyed, when it is no
  // longer a QMenu.
  const QObject* m_watched;
  QMenu m_menu;
  std::vector<TItem> m_items;
  bool m_rebuildScheduled = false;
};

}  // namespace tessarine::ui
