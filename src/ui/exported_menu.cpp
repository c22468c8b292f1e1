#include "ui/exported_menu.h"

#include <QAction>
#include <QActionEvent>
#include <QTimer>
#include <algorithm>

namespace tessarine::ui {

TExportedMenu::TExportedMenu(QMenu& source, QObject* parent) : QObject(parent), m_source(&source), m_watched(&source) {
  m_menu.setObjectName(source.objectName());
  rebuild();
  source.installEventFilter(this);
  connect(&source, &QObject::destroyed, this, &TExportedMenu::scheduleRebuild);
}

QAction* TExportedMenu::SourceOf(const QAction* copy) const {
  const TItem* item = find(copy);
  return item ? item->Source.data() : nullptr;
}

const TExportedMenu::TItem* TExportedMenu::find(const QAction* copy) const {
  for (const TItem& item : m_items)
    if (item.Copy == copy) return &item;
  return nullptr;
}

bool TExportedMenu::eventFilter(QObject* watched, QEvent* event) {
  if (watched != m_watched) return false;
  switch (event->type()) {
    case QEvent::ActionAdded:
    case QEvent::ActionRemoved:
      scheduleRebuild();
      break;
    case QEvent::ActionChanged: {
      const QAction* source = static_cast<QActionEvent*>(event)->action();
      const auto item =
          std::find_if(m_items.begin(), m_items.end(), [source](const TItem& i) { return i.Source == source; });
      const bool exported = item != m_items.end();
      if (exported != source->isVisible() || (exported && source->isSeparator() != item->Copy->isSeparator())) {
        scheduleRebuild();
      } else if (exported) {
        copyState(*source, *item->Copy);
      }
      break;
    }
    default:
      break;
  }
  return false;
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
  if (!m_source) return;
  const bool collapse = m_source->separatorsCollapsible();
  for (QAction* source : m_source->actions()) {
    if (!source->isVisible()) continue;
    if (source->isSeparator() && collapse && (m_items.empty() || m_items.back().Copy->isSeparator())) continue;
    QAction* copy = source->isSeparator() ? m_menu.addSeparator() : m_menu.addAction(QString());
    if (!source->isSeparator()) {
      copyState(*source, *copy);
      connect(copy, &QAction::triggered, this, [this, copy] { choose(copy); });
    }
    m_items.push_back({source, copy});
  }
  if (collapse && !m_items.empty() && m_items.back().Copy->isSeparator()) {
    m_menu.removeAction(m_items.back().Copy);
    delete m_items.back().Copy;
    m_items.pop_back();
  }
}

// Only what differs is set: every change of a copy goes out on the bus, and Timer1 sets the on/off item's
// picture once a second whether or not it changed.
void TExportedMenu::copyState(const QAction& source, QAction& copy) {
  if (copy.text() != source.text()) copy.setText(source.text());
  if (copy.icon().cacheKey() != source.icon().cacheKey()) copy.setIcon(source.icon());
  if (copy.isCheckable() != source.isCheckable()) copy.setCheckable(source.isCheckable());
  if (copy.isChecked() != source.isChecked()) copy.setChecked(source.isChecked());
  if (copy.isEnabled() != source.isEnabled()) copy.setEnabled(source.isEnabled());
}

void TExportedMenu::choose(QAction* copy) {
  const TItem* item = find(copy);
  if (!item) return;
  const QPointer<QAction> source = item->Source;
  const QPointer<QAction> alive = copy;
  if (source && source->isVisible() && source->isEnabled()) source->trigger();
  // The copy toggled its own check mark when it was clicked; the item's handler decides what it shows. A
  // handler that shows an error box runs an event loop, in which a rebuild may delete the copy.
  if (source && alive) copyState(*source, *alive);
}

}  // namespace tessarine::ui
