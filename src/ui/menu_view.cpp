#include "ui/menu_view.h"

#include <QAction>
#include <QPointer>
#include <QWidget>

#include "ui/image_list.h"
#include "ui/qt_text.h"

namespace tessarine::ui {

void ShowMenuItem(const shell::TMenuItem& item, QAction& action, const TImageList& images) {
  const QString text = ToQString(item.Caption());
  if (action.text() != text) action.setText(text);
  const QIcon icon = item.Picture().empty() ? QIcon() : images.Icon(TImageList::IndexOf(item.Picture()));
  if (action.icon().cacheKey() != icon.cacheKey()) action.setIcon(icon);
  if (action.isCheckable() != item.Checkable()) action.setCheckable(item.Checkable());
  if (action.isChecked() != item.Checked()) action.setChecked(item.Checked());
  if (action.isEnabled() != item.Enabled()) action.setEnabled(item.Enabled());
}

TMenuView::TMenuView(shell::TPopupMenu& model, const TImageList& images, QWidget* parent)
    : QObject(parent), m_model(&model), m_images(images), m_menu(new QMenu(parent)) {
  rebuild();
  model.AddObserver(*this);
}

TMenuView::~TMenuView() {
  if (m_model) m_model->RemoveObserver(*this);
}

QAction* TMenuView::ActionOf(const shell::TMenuItem* item) const {
  if (!item || !m_model || m_model->Find(item->Id()) != item) return nullptr;
  const auto it = m_actions.find(item->Id());
  return it == m_actions.end() ? nullptr : it->second;
}

void TMenuView::show(const shell::TMenuItem& item, QAction& action) {
  if (!item.IsLine()) ShowMenuItem(item, action, m_images);
  if (action.isVisible() != item.Visible()) action.setVisible(item.Visible());
  if (action.font().bold() != item.Default()) {
    QFont font = action.font();
    font.setBold(item.Default());
    action.setFont(font);
  }
  if (item.Default()) {
    m_menu->setDefaultAction(&action);
  } else if (m_menu->defaultAction() == &action) {
    m_menu->setDefaultAction(nullptr);
  }
}

void TMenuView::MenuItemChanged(const shell::TMenuItem& item) {
  const auto it = m_actions.find(item.Id());
  if (it != m_actions.end()) show(item, *it->second);
}

void TMenuView::MenuItemsChanged() { rebuild(); }

void TMenuView::MenuDestroyed() {
  m_model = nullptr;
  rebuild();
}

void TMenuView::rebuild() {
  std::map<int, QAction*> actions;
  QList<QAction*> order;
  for (size_t i = 0; m_model && i < m_model->Count(); ++i) {
    const shell::TMenuItem& item = m_model->Item(i);
    QAction* action = nullptr;
    if (const auto it = m_actions.find(item.Id()); it != m_actions.end()) {
      action = it->second;
      m_actions.erase(it);
    } else {
      action = new QAction(m_menu);
      action->setSeparator(item.IsLine());
      const int id = item.Id();
      connect(action, &QAction::triggered, this, [this, id] { choose(id); });
    }
    show(item, *action);
    actions.emplace(item.Id(), action);
    order.push_back(action);
  }
  if (m_menu->actions() != order) {
    for (QAction* action : m_menu->actions()) m_menu->removeAction(action);
    m_menu->addActions(order);
  }
  // Later: one of them may be the action whose handler is running now.
  for (const auto& [id, action] : m_actions) action->deleteLater();
  m_actions = std::move(actions);
}

void TMenuView::choose(int id) {
  shell::TMenuItem* item = m_model ? m_model->Find(id) : nullptr;
  if (!item) return;
  item->Click();
  // The action toggled its own check mark when it was chosen; the item's handler decides what it shows. The
  // handler may have shown an error box, in whose event loop anything may have changed.
  item = m_model ? m_model->Find(id) : nullptr;
  const auto it = m_actions.find(id);
  if (item && it != m_actions.end()) show(*item, *it->second);
}

}  // namespace tessarine::ui
