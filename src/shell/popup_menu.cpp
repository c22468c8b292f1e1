#include "shell/popup_menu.h"

#include <algorithm>

#include "common/exception.h"
#include "shell/error_box.h"

namespace tessarine::shell {

TMenuItem::TMenuItem(TPopupMenu& menu, int id, std::string name, bool isLine)
    : m_menu(menu), m_id(id), m_name(std::move(name)), m_isLine(isLine) {}

template <typename T>
void TMenuItem::set(T& field, const T& value) {
  if (field == value) return;
  field = value;
  m_menu.itemChanged(*this);
}

void TMenuItem::SetCaption(const std::u16string& caption) { set(m_caption, caption); }
void TMenuItem::SetPicture(const std::string& picture) { set(m_picture, picture); }
void TMenuItem::SetCheckable(bool checkable) { set(m_checkable, checkable); }
void TMenuItem::SetChecked(bool checked) { set(m_checked, checked); }
void TMenuItem::SetVisible(bool visible) { set(m_visible, visible); }
void TMenuItem::SetEnabled(bool enabled) { set(m_enabled, enabled); }
void TMenuItem::SetDefault(bool isDefault) { set(m_default, isDefault); }

void TMenuItem::Click() {
  if (!m_visible || !m_enabled || m_isLine || !OnClick) return;
  // A copy: the handler may change what the item does.
  const std::function<void()> handler = OnClick;
  RunHandler(handler);
}

TPopupMenu::~TPopupMenu() {
  notify([](IMenuObserver& observer) { observer.MenuDestroyed(); });
}

TMenuItem& TPopupMenu::Add(const std::string& name, const std::u16string& caption, const std::string& picture) {
  return insertAt(m_items.size(), name, false, caption, picture);
}

TMenuItem& TPopupMenu::AddLine(const std::string& name) { return insertAt(m_items.size(), name, true, {}, {}); }

TMenuItem& TPopupMenu::Insert(const TMenuItem& before, const std::string& name, const std::u16string& caption,
                              const std::string& picture) {
  const auto it = std::find_if(m_items.begin(), m_items.end(), [&](const auto& item) { return item.get() == &before; });
  if (it == m_items.end()) throw Exception("Menu item " + before.Name() + " is not in this menu");
  return insertAt(static_cast<size_t>(it - m_items.begin()), name, false, caption, picture);
}

TMenuItem& TPopupMenu::insertAt(size_t position, const std::string& name, bool isLine, const std::u16string& caption,
                                const std::string& picture) {
  auto item = std::unique_ptr<TMenuItem>(new TMenuItem(*this, m_nextId++, name, isLine));
  item->m_caption = caption;
  item->m_picture = picture;
  TMenuItem& added = *item;
  m_items.insert(m_items.begin() + static_cast<std::ptrdiff_t>(position), std::move(item));
  notify([](IMenuObserver& observer) { observer.MenuItemsChanged(); });
  return added;
}

void TPopupMenu::Remove(const TMenuItem& item) {
  const auto it = std::find_if(m_items.begin(), m_items.end(), [&](const auto& i) { return i.get() == &item; });
  if (it == m_items.end()) return;
  m_items.erase(it);
  notify([](IMenuObserver& observer) { observer.MenuItemsChanged(); });
}

TMenuItem* TPopupMenu::Find(int id) const {
  for (const auto& item : m_items)
    if (item->Id() == id) return item.get();
  return nullptr;
}

TMenuItem* TPopupMenu::DefaultItem() const {
  for (const auto& item : m_items)
    if (item->Default()) return item.get();
  return nullptr;
}

void TPopupMenu::AddObserver(IMenuObserver& observer) {
  if (std::find(m_observers.begin(), m_observers.end(), &observer) == m_observers.end())
    m_observers.push_back(&observer);
}

void TPopupMenu::RemoveObserver(IMenuObserver& observer) { std::erase(m_observers, &observer); }

void TPopupMenu::itemChanged(const TMenuItem& item) {
  notify([&item](IMenuObserver& observer) { observer.MenuItemChanged(item); });
}

void TPopupMenu::notify(const std::function<void(IMenuObserver&)>& call) {
  const std::vector<IMenuObserver*> observers = m_observers;
  for (IMenuObserver* observer : observers) {
    if (std::find(m_observers.begin(), m_observers.end(), observer) != m_observers.end()) call(*observer);
  }
}

}  // namespace tessarine::shell
