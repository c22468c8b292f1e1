// The menu model the shells draw: changes reach the drawings only when something changed, items come and go in
// place, a hidden or disabled item cannot be chosen, and a handler's failure is shown instead of escaping.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/exception.h"
#include "common/text.h"
#include "shell/error_box.h"
#include "shell/popup_menu.h"

namespace tessarine::shell::testing {
namespace {

class RecordingObserver : public IMenuObserver {
 public:
  void MenuItemChanged(const TMenuItem& item) override { Events.push_back("changed " + item.Name()); }
  void MenuItemsChanged() override { Events.push_back("items"); }
  void MenuDestroyed() override { Events.push_back("destroyed"); }
  std::vector<std::string> Events;
};

std::vector<std::string> Names(const TPopupMenu& menu) {
  std::vector<std::string> names;
  for (size_t i = 0; i < menu.Count(); ++i) names.push_back(menu.Item(i).Name());
  return names;
}

TEST(PopupMenu, ObserversHearOfRealChangesOnly) {
  RecordingObserver observer;
  {
    TPopupMenu menu;
    TMenuItem& on = menu.Add("N6", u"Off", "offline");
    menu.AddObserver(observer);
    on.SetCaption(u"Off");
    on.SetPicture("offline");
    on.SetChecked(false);
    on.SetVisible(true);
    EXPECT_TRUE(observer.Events.empty()) << "Timer1 sets the same caption and picture every second";
    on.SetCaption(u"On");
    on.SetPicture("online");
    on.SetEnabled(false);
    EXPECT_EQ(observer.Events, (std::vector<std::string>{"changed N6", "changed N6", "changed N6"}));

    TMenuItem& line = menu.AddLine("N3");
    menu.Insert(line, "G1", u"Google", "googletr");
    EXPECT_EQ(Names(menu), (std::vector<std::string>{"N6", "G1", "N3"}));
    const int id = menu.Item(1).Id();
    EXPECT_EQ(menu.Find(id), &menu.Item(1));
    menu.Remove(menu.Item(1));
    EXPECT_EQ(menu.Find(id), nullptr) << "an id is never given again";
    EXPECT_NE(menu.Add("B1").Id(), id);
    observer.Events.clear();
  }
  EXPECT_EQ(observer.Events, std::vector<std::string>{"destroyed"});
}

TEST(PopupMenu, OnlyAVisibleEnabledItemIsPerformedAndItsFailureIsShown) {
  std::vector<std::u16string> shown;
  const TErrorBoxHandler previous = SetErrorBoxHandler([&](const std::u16string& text) { shown.push_back(text); });
  TPopupMenu menu;
  int clicks = 0;
  TMenuItem& item = menu.Add("N1", u"Show log");
  item.OnClick = [&] { ++clicks; };
  TMenuItem& failing = menu.Add("N5", u"Exit");
  failing.OnClick = [] { throw Exception(u"Unable to write to /x/setting.ini"); };
  menu.AddLine("N9").Click();
  item.SetVisible(false);
  item.Click();
  item.SetVisible(true);
  item.SetEnabled(false);
  item.Click();
  EXPECT_EQ(clicks, 0);
  item.SetEnabled(true);
  item.Click();
  EXPECT_EQ(clicks, 1);
  failing.Click();
  SetErrorBoxHandler(previous);
  EXPECT_EQ(shown, std::vector<std::u16string>{u"Unable to write to /x/setting.ini."});

  EXPECT_EQ(menu.DefaultItem(), nullptr);
  failing.SetDefault(true);
  item.SetDefault(true);
  EXPECT_EQ(menu.DefaultItem(), &item) << "the first in menu order";
}

}  // namespace
}  // namespace tessarine::shell::testing
