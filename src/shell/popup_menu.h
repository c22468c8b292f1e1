#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tessarine::shell {

class TMenuItem;
class TPopupMenu;

// A drawing of a menu (the Qt menu, its D-Bus copy, a Win32 popup menu), told of every change on the UI
// thread after it has been made.
class IMenuObserver {
 public:
  virtual ~IMenuObserver() = default;
  // The item's caption, picture, check mark, visibility or enabled flag changed.
  virtual void MenuItemChanged(const TMenuItem& item) = 0;
  // An item was added or removed.
  virtual void MenuItemsChanged() = 0;
  // The menu is being destroyed and must not be used from now on.
  virtual void MenuDestroyed() = 0;
};

// One item of a popup menu: a separator line, or an item with a caption, a picture, perhaps a check mark, and a
// handler. Every setter tells the menu's observers when, and only when, it changes something: Timer1 sets the
// on/off item's caption and picture once a second whether or not they changed, and each change of the D-Bus copy
// goes out on the bus.
class TMenuItem {
 public:
  // Unique within the menu and never used again, so a drawing finds an item again after others came and went.
  int Id() const { return m_id; }
  // The component's name: "N6", "G1", ...
  const std::string& Name() const { return m_name; }
  bool IsLine() const { return m_isLine; }

  const std::u16string& Caption() const { return m_caption; }
  void SetCaption(const std::u16string& caption);
  // The picture's name in the image list ("online", "googletr"); empty for none.
  const std::string& Picture() const { return m_picture; }
  void SetPicture(const std::string& picture);
  // Whether the item has a check mark to show at all (the engine and language items), and whether it is set.
  bool Checkable() const { return m_checkable; }
  void SetCheckable(bool checkable);
  bool Checked() const { return m_checked; }
  void SetChecked(bool checked);
  // A hidden item takes no room in the menu and cannot be chosen.
  bool Visible() const { return m_visible; }
  void SetVisible(bool visible);
  bool Enabled() const { return m_enabled; }
  void SetEnabled(bool enabled);
  // The menu's default item, drawn bold; a double click on the tray icon performs it.
  bool Default() const { return m_default; }
  void SetDefault(bool isDefault);

  // What choosing the item does.
  std::function<void()> OnClick;
  // Performs the item, only while it is visible and enabled (a drawing may still offer an item hidden a moment
  // ago); a failure of its handler is shown in the error box and the program goes on.
  void Click();

 private:
  friend class TPopupMenu;
  TMenuItem(TPopupMenu& menu, int id, std::string name, bool isLine);
  template <typename T>
  void set(T& field, const T& value);

  TPopupMenu& m_menu;
  const int m_id;
  const std::string m_name;
  const bool m_isLine;
  std::u16string m_caption;
  std::string m_picture;
  bool m_checkable = false;
  bool m_checked = false;
  bool m_visible = true;
  bool m_enabled = true;
  bool m_default = false;
};

// The popup menu PopupMenu1 as the toolkits draw it: its items in menu order. UI thread only.
class TPopupMenu {
 public:
  TPopupMenu() = default;
  // Tells the observers first.
  ~TPopupMenu();
  TPopupMenu(const TPopupMenu&) = delete;
  TPopupMenu& operator=(const TPopupMenu&) = delete;

  TMenuItem& Add(const std::string& name, const std::u16string& caption = {}, const std::string& picture = {});
  TMenuItem& AddLine(const std::string& name);
  // A new item just before another one of this menu.
  TMenuItem& Insert(const TMenuItem& before, const std::string& name, const std::u16string& caption = {},
                    const std::string& picture = {});
  void Remove(const TMenuItem& item);

  size_t Count() const { return m_items.size(); }
  TMenuItem& Item(size_t index) const { return *m_items.at(index); }
  // The item with that id; nullptr when it is no item of this menu (any more).
  TMenuItem* Find(int id) const;
  // The first item in menu order whose default flag is set; nullptr when none is.
  TMenuItem* DefaultItem() const;

  // An observer stays registered until it is removed or the menu is destroyed.
  void AddObserver(IMenuObserver& observer);
  void RemoveObserver(IMenuObserver& observer);

 private:
  friend class TMenuItem;
  TMenuItem& insertAt(size_t position, const std::string& name, bool isLine, const std::u16string& caption,
                      const std::string& picture);
  void itemChanged(const TMenuItem& item);
  // Each observer in turn, as long as it is still registered (one may remove another).
  void notify(const std::function<void(IMenuObserver&)>& call);

  std::vector<std::unique_ptr<TMenuItem>> m_items;
  std::vector<IMenuObserver*> m_observers;
  int m_nextId = 1;
};

}  // namespace tessarine::shell
