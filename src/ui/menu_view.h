#pragma once

#include <QMenu>
#include <QObject>
#include <map>

#include "shell/popup_menu.h"

class QAction;
class QWidget;

namespace tessarine::ui {

class TImageList;

// Shows an item of the menu model on a Qt action: caption, picture from the image list, check mark and enabled
// flag. Only what differs is set: every change of an exported copy goes out on the bus.
void ShowMenuItem(const shell::TMenuItem& item, QAction& action, const TImageList& images);

// The popup menu PopupMenu1 as Qt draws it: one action per item of the model, in the model's order, hidden items
// included (the menu gives them no room and collapses the separators around them), the default item bold. It
// follows every change of the model; an action chosen performs its item, whose handler decides what the action
// shows afterwards.
class TMenuView : public QObject, private shell::IMenuObserver {
  Q_OBJECT

 public:
  TMenuView(shell::TPopupMenu& model, const TImageList& images, QWidget* parent);
  ~TMenuView() override;

  QMenu& Menu() { return *m_menu; }
  // The action drawing that item; nullptr for an item that is not (or no longer) in the model.
  QAction* ActionOf(const shell::TMenuItem* item) const;

 private:
  void MenuItemChanged(const shell::TMenuItem& item) override;
  void MenuItemsChanged() override;
  void MenuDestroyed() override;

  void show(const shell::TMenuItem& item, QAction& action);
  // The menu's actions brought in line with the model's items.
  void rebuild();
  void choose(int id);

  shell::TPopupMenu* m_model;
  const TImageList& m_images;
  QMenu* m_menu;
  // By item id.
  std::map<int, QAction*> m_actions;
};

}  // namespace tessarine::ui
