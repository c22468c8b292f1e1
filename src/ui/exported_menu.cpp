#include "ui/exported_menu.h"

#include <QAction>
#include <QPointer>
#include <QTimer>
#include <algorithm>

#include "ui/menu_view.h"

namespace tessarine::ui {

TExportedMenu::TExportedMenu(shell::TPopupMenu& source, const TImageList& images, QObject* parent)
    : QObject(parent), m_source(&source), m_images(images) {
  rebuild();
  source.AddObserver(*this);
}

TExportedMenu::~TExportedMenu() {
  if (m_source) m_source->RemoveObserver(*this);
}

const shell::TMenuItem* TExportedMenu::SourceOf(const QAction* copy) const {
  const TItem* item = find(copy);
  return item && m_source ? m_source->Find(item->Source) : nullptr;
}

const TExportedMenu::TItem* TExportedMenu::find(const QAction* copy) const {
  for (const TItem& item : m_items)
    if (item.Copy == copy) return &item;
  return nullptr;
}

void TExportedMenu::MenuItemChanged(const shell::TMenuItem& source) {
  const auto item =
      std::find_if(m_items.begin(), m_items.end(), [&source](const TItem& i) { return i.Source == source.Id(); });
  const bool exported = item != m_items.end();
  if (exported != source.Visible()) {
    scheduleRebuild();
  } else if (exported && !source.IsLine()) {
    ShowMenuItem(source, *item->Copy, m_images);
  }
}

void TExportedMenu::MenuItemsChanged() { scheduleRebuild(); }

void TExportedMenu::MenuDestroyed() {
  m_source = nullptr;
  scheduleRebuild();
}

void TExportedMenu::scheduleRebuild() {
  if (m_rebuildScheduled) return;
  m_rebuildScheduled = true;
  QTimer::singleShot(0, this, [this] {
    m_rebuildScheduled = false;
    rebuild();
  });
}

void TExportedMenu::rebuild() {
  m_menu.clear();
  m_items.clear();
  for (size_t i = 0; m_source && i < m_source->Count(); ++i) {
    const shell::TMenuItem& source = m_source->Item(i);
    if (!source.Visible()) continue;
    if (source.IsLine() && (m_items.empty() || m_items.back().Copy->isSeparator())) continue;
    QAction* copy = source.IsLine() ? m_menu.addSeparator() : m_menu.addAction(QString());
    if (!source.IsLine()) {
      ShowMenuItem(source, *copy, m_images);
      connect(copy, &QAction::triggered, this, [this, copy] { choose(copy); });
    }
    m_items.push_back({source.Id(), copy});
  }
  if (!m_items.empty() && m_items.back().Copy->isSeparator()) {
    m_menu.removeAction(m_items.back().Copy);
    delete m_items.back().Copy;
    m_items.pop_back();
  }
}

void TExportedMenu::choose(QAction* copy) {
  const TItem* item = find(copy);
  if (!item || !m_source) return;
  const int id = item->Source;
  const QPointer<QAction> alive = copy;
  if (shell::TMenuItem* source = m_source->Find(id)) source->Click();
  // The copy toggled its own check mark when it was clicked; the item's handler decides what it shows. A
  // handler that shows an error box runs an event loop, in which a rebuild may delete the copy.
  const shell::TMenuItem* source = m_source ? m_source->Find(id) : nullptr;
  if (source && alive) ShowMenuItem(*source, *alive, m_images);
}

}  // namespace tessarine::ui
