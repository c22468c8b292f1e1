#include "ui/win32/menu_view.h"

#include <string>
#include <vector>

#include "ui/win32/wide_text.h"

namespace tessarine::ui::win32 {

namespace {

UINT StateOf(const shell::TMenuItem& item) {
  return (item.Checked() ? MFS_CHECKED : MFS_UNCHECKED) | (item.Enabled() ? MFS_ENABLED : MFS_DISABLED) |
         (item.Default() ? MFS_DEFAULT : 0);
}

// The visible items as the menu shows them: no separator first, last or after another.
std::vector<const shell::TMenuItem*> Entries(const shell::TPopupMenu& model) {
  std::vector<const shell::TMenuItem*> entries;
  for (size_t i = 0; i < model.Count(); ++i) {
    const shell::TMenuItem& item = model.Item(i);
    if (!item.Visible()) continue;
    if (item.IsLine() && (entries.empty() || entries.back()->IsLine())) continue;
    entries.push_back(&item);
  }
  while (!entries.empty() && entries.back()->IsLine()) entries.pop_back();
  return entries;
}

}  // namespace

TMenuView::TMenuView(shell::TPopupMenu& model, TPictures pictures)
    : m_model(&model), m_pictures(std::move(pictures)), m_menu(CreatePopupMenu()) {
  m_model->AddObserver(*this);
  rebuild();
}

TMenuView::~TMenuView() {
  if (m_model != nullptr) m_model->RemoveObserver(*this);
  DestroyMenu(m_menu);
}

bool TMenuView::Perform(UINT command) {
  shell::TMenuItem* item = m_model != nullptr && command != 0 ? m_model->Find(static_cast<int>(command)) : nullptr;
  if (item == nullptr) return false;
  item->Click();
  return true;
}

void TMenuView::MenuItemChanged(const shell::TMenuItem& item) {
  MENUITEMINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = MIIM_STATE;
  const bool shown = GetMenuItemInfoW(m_menu, static_cast<UINT>(item.Id()), FALSE, &info) != 0;
  // Shown or hidden, the neighbouring separators change too.
  if (shown != item.Visible() || item.IsLine()) {
    rebuild();
    return;
  }
  if (!shown) return;
  std::wstring caption;
  describe(item, caption, info);
  SetMenuItemInfoW(m_menu, static_cast<UINT>(item.Id()), FALSE, &info);
}

void TMenuView::describe(const shell::TMenuItem& item, std::wstring& caption, MENUITEMINFOW& info) const {
  caption = Wide(item.Caption());
  info.fMask |= MIIM_STATE | MIIM_STRING | MIIM_BITMAP;
  info.fState = StateOf(item);
  info.dwTypeData = caption.data();
  info.hbmpItem = m_pictures && !item.Picture().empty() ? m_pictures(item.Picture()) : nullptr;
}

void TMenuView::MenuItemsChanged() { rebuild(); }

// Its entries go with it: there is nothing left for them to perform.
void TMenuView::MenuDestroyed() {
  m_model = nullptr;
  rebuild();
}

void TMenuView::rebuild() {
  while (GetMenuItemCount(m_menu) > 0) DeleteMenu(m_menu, 0, MF_BYPOSITION);
  if (m_model == nullptr) return;
  UINT position = 0;
  for (const shell::TMenuItem* item : Entries(*m_model)) {
    std::wstring caption;
    MENUITEMINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = MIIM_ID | MIIM_FTYPE;
    info.wID = static_cast<UINT>(item->Id());
    if (item->IsLine()) {
      info.fType = MFT_SEPARATOR;
    } else {
      info.fType = MFT_STRING;
      describe(*item, caption, info);
    }
    InsertMenuItemW(m_menu, position++, TRUE, &info);
  }
}

}  // namespace tessarine::ui::win32
