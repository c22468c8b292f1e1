#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "shell/popup_menu.h"

namespace tessarine::ui::win32 {

// The popup menu PopupMenu1 as a Win32 popup menu: one entry per visible item of the model, in the model's order,
// with its caption, check mark, enabled flag and the default item bold; an item's id is its command id. It follows
// every change of the model. Hidden items take no entry, and neither do the separators they would leave first, last
// or doubled. An item's picture is the bitmap Pictures gives for its name (none without Pictures, or for nullptr).
// UI thread only.
class TMenuView : private shell::IMenuObserver {
 public:
  using TPictures = std::function<HBITMAP(const std::string& picture)>;

  explicit TMenuView(shell::TPopupMenu& model, TPictures pictures = {});
  ~TMenuView() override;
  TMenuView(const TMenuView&) = delete;
  TMenuView& operator=(const TMenuView&) = delete;

  HMENU Handle() const { return m_menu; }
  // Performs the item whose command TrackPopupMenu returned (0: none was chosen); false for no item of the model.
  bool Perform(UINT command);

 private:
  void MenuItemChanged(const shell::TMenuItem& item) override;
  void MenuItemsChanged() override;
  void MenuDestroyed() override;

  // The entries brought in line with the model, on the same menu, which may be open meanwhile.
  void rebuild();

  // The picture, caption and state fields of an entry.
  void describe(const shell::TMenuItem& item, std::wstring& caption, MENUITEMINFOW& info) const;

  shell::TPopupMenu* m_model;
  TPictures m_pictures;
  HMENU m_menu;
};

}  // namespace tessarine::ui::win32
