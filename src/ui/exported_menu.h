#pragma once

#include <QMenu>
#include <QObject>
#include <vector>

#include "shell/popup_menu.h"

class QAction;

namespace tessarine::ui {

class TImageList;

// The popup menu as a StatusNotifierItem's host shows it. Qt exports a tray icon's context menu over D-Bus
// (com.canonical.dbusmenu), and a menu that is exported no longer behaves as a plain widget menu; so the
// icon is given this menu of its own, drawn from the same menu model as the popup menu, which keeps opening
// at the pointer as before.
//
// It holds the model's visible items in their order (hidden items take no room, and separators that would
// stand together or at an end are dropped, as the widget menu does), follows every change of their captions,
// pictures and check marks, and is rebuilt when items are added, removed, shown or hidden. An item chosen
// through the host performs the model's item, which does nothing unless the item is visible and enabled: a
// host could otherwise send a click for an item the user cannot see.
class TExportedMenu : public QObject, private shell::IMenuObserver {
 public:
  TExportedMenu(shell::TPopupMenu& source, const TImageList& images, QObject* parent = nullptr);
  ~TExportedMenu() override;

  QMenu& Menu() { return m_menu; }
  // The menu item a copy stands for; null when there is none (any more).
  const shell::TMenuItem* SourceOf(const QAction* copy) const;

 private:
  struct TItem {
    int Source;  // the item's id
    QAction* Copy;
  };

  void MenuItemChanged(const shell::TMenuItem& item) override;
  void MenuItemsChanged() override;
  void MenuDestroyed() override;

  void rebuild();
  // Rebuilds once control is back in the event loop: a rebuild deletes copies, and the model also changes while
  // a copy's own signal is running.
  void scheduleRebuild();
  void choose(QAction* copy);
  const TItem* find(const QAction* copy) const;

  shell::TPopupMenu* m_source;
  const TImageList& m_images;
  QMenu m_menu;
  std::vector<TItem> m_items;
  bool m_rebuildScheduled = false;
};

}  // namespace tessarine::ui
