// The tray menu as Qt draws the core's: one action per item that looks as the item does and follows it, an action
// chosen performs the item, Timer1's clock, and the tray icon's picture and mouse actions.

#include <QFont>

#include "form_fixture.h"

namespace tessarine::ui::testing {
namespace {

// Each action of the menu draws the core's item at the same place, as the item looks.
void ExpectDrawn(TForm1& f) {
  const shell::TPopupMenu& model = f.Core().PopupMenu1;
  const QList<QAction*> actions = f.PopupMenu1->actions();
  ASSERT_EQ(actions.size(), static_cast<qsizetype>(model.Count()));
  for (size_t i = 0; i < model.Count(); ++i) {
    const shell::TMenuItem& item = model.Item(i);
    const QAction* action = actions[static_cast<qsizetype>(i)];
    SCOPED_TRACE(item.Name());
    EXPECT_EQ(action, f.MenuAction(&item));
    EXPECT_EQ(action->isSeparator(), item.IsLine());
    EXPECT_EQ(action->isVisible(), item.Visible());
    if (item.IsLine()) continue;
    EXPECT_EQ(FromQString(action->text()), item.Caption());
    EXPECT_EQ(action->isCheckable(), item.Checkable());
    EXPECT_EQ(action->isChecked(), item.Checked());
    if (item.Visible()) {
      EXPECT_EQ(action->isEnabled(), item.Enabled());  // Qt disables what it hides
    }
    EXPECT_EQ(action->font().bold(), item.Default());
    const qint64 picture =
        item.Picture().empty() ? 0 : f.sAlphaImageList1.Icon(TImageList::IndexOf(item.Picture())).cacheKey();
    EXPECT_EQ(action->icon().cacheKey(), picture);
  }
}

TEST_F(FormTest, TheMenuDrawsTheCoresItems) {
  TForm1& f = create();
  ExpectDrawn(f);
  EXPECT_EQ(f.PopupMenu1->actions().size(), 16);
  EXPECT_FALSE(action(core().S1)->isVisible());
  EXPECT_EQ(f.PopupMenu1->defaultAction(), action(core().N8));
  EXPECT_TRUE(action(core().N8)->font().bold());
  EXPECT_EQ(text(action(core().N6)), u"Выключено");
  EXPECT_EQ(action(core().N6)->icon().cacheKey(), f.sAlphaImageList1.Icon(TImageList::kOffline).cacheKey());
  EXPECT_EQ(f.TrayIcon->IconIndex(), 0);
  EXPECT_FALSE(f.TrayIcon->IconVisible());
  EXPECT_TRUE(errors.empty());
}

TEST_F(FormTest, ChoosingAnActionPerformsItsItem) {
  TForm1& f = create();
  // A checkable action toggles itself before the item's handler runs; choosing the checked one must keep it
  // checked.
  for (int repeat = 0; repeat < 2; ++repeat) {
    action(core().B1)->trigger();
    EXPECT_TRUE(action(core().B1)->isChecked());
    EXPECT_FALSE(action(core().G1)->isChecked());
    EXPECT_TRUE(core().EngineChoice().Snapshot()[translate::kBing].Checked);
    EXPECT_EQ(f.TrayIcon->IconIndex(), TImageList::kBing);
  }
  action(core().E1)->trigger();
  EXPECT_EQ(FromQString(f.sLabel1->text()), u"Log of requests and answers:");
  action(core().N6)->trigger();
  EXPECT_TRUE(core().IdHTTPServer1.Active());
  core().Timer1Timer();
  EXPECT_EQ(text(action(core().N6)), u"On");
  EXPECT_EQ(action(core().N6)->icon().cacheKey(), f.sAlphaImageList1.Icon(TImageList::kOnline).cacheKey());
  ExpectDrawn(f);
  action(core().N5)->trigger();
  EXPECT_EQ(terminations, 1);
  EXPECT_TRUE(errors.empty());
}

TEST_F(FormTest, AnOptionalEnginesItemIsDrawnInItsPlaceWithItsPicture) {
  set(u"Engines", u"Apertium", u"localhost");
  set(u"General", u"Google", u"0");
  set(u"General", u"Apertium", u"1");
  TForm1& f = create();
  QAction* apertium = action(core().EngineItem(translate::kApertium));
  ASSERT_NE(apertium, nullptr);
  ExpectDrawn(f);
  EXPECT_EQ(f.PopupMenu1->actions().indexOf(apertium), f.PopupMenu1->actions().indexOf(action(core().P1)) + 2);
  EXPECT_EQ(apertium->icon().pixmap(16).toImage(), f.sAlphaImageList1.Pixmap(TImageList::kApertium).toImage());
  EXPECT_EQ(f.TrayIcon->IconIndex(), TImageList::kApertium) << "its picture from the start";
  action(core().Y1)->trigger();
  EXPECT_FALSE(apertium->isChecked());
  apertium->trigger();
  EXPECT_TRUE(apertium->isChecked());
  EXPECT_EQ(f.TrayIcon->IconIndex(), TImageList::kApertium);
}

TEST_F(FormTest, TimerRunsFromCreation) {
  TForm1& f = create();
  EXPECT_TRUE(f.Timer1->isActive());
  EXPECT_EQ(f.Timer1->interval(), 1000);
}

TEST_F(FormTest, TrayIconMouseActions) {
  set(u"Setting", u"Language", u"English");
  TForm1& f = create();
  ASSERT_TRUE(core().E1->Checked());
  f.TrayIcon->HandleIconMessage(QSystemTrayIcon::Trigger);  // a single click does nothing
  f.TrayIcon->HandleIconMessage(QSystemTrayIcon::MiddleClick);
  EXPECT_TRUE(action(core().E1)->isChecked());
  f.TrayIcon->HandleIconMessage(QSystemTrayIcon::DoubleClick);  // performs the default item: Russian
  EXPECT_TRUE(action(core().N8)->isChecked());
  EXPECT_EQ(text(action(core().N5)), u"Выход");

  f.TrayIcon->SetIconIndex(TImageList::kCount);
  EXPECT_EQ(f.TrayIcon->IconIndex(), TImageList::kCount - 1);  // the last picture
}

}  // namespace
}  // namespace tessarine::ui::testing
