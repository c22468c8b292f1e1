// The tray menu as a StatusNotifierItem exports it: a menu drawn from the core's that follows it, leaves hidden
// items out, and passes a chosen item on only while the core's item can be chosen.

#include <memory>

#include "form_fixture.h"
#include "ui/exported_menu.h"

namespace tessarine::ui::testing {
namespace {

using shell::TMenuItem;

// The copy holds exactly these menu items, in this order, each looking as the item does.
void ExpectCopies(TExportedMenu& exported, const TImageList& images, const std::vector<const TMenuItem*>& items) {
  const QList<QAction*> copies = exported.Menu().actions();
  ASSERT_EQ(copies.size(), static_cast<qsizetype>(items.size()));
  for (size_t i = 0; i < items.size(); ++i) {
    const QAction* copy = copies[static_cast<qsizetype>(i)];
    const TMenuItem* item = items[i];
    SCOPED_TRACE(item->Name());
    ASSERT_EQ(copy->isSeparator(), item->IsLine());
    EXPECT_EQ(exported.SourceOf(copy), item);
    if (item->IsLine()) continue;
    EXPECT_EQ(FromQString(copy->text()), item->Caption());
    EXPECT_EQ(copy->icon().cacheKey(),
              item->Picture().empty() ? 0 : images.Icon(TImageList::IndexOf(item->Picture())).cacheKey());
    EXPECT_EQ(copy->isCheckable(), item->Checkable());
    EXPECT_EQ(copy->isChecked(), item->Checked());
    EXPECT_TRUE(copy->isEnabled());
    EXPECT_TRUE(copy->isVisible());
  }
}

QAction* CopyOf(TExportedMenu& exported, const TMenuItem* item) {
  for (QAction* copy : exported.Menu().actions())
    if (exported.SourceOf(copy) == item) return copy;
  return nullptr;
}

std::vector<const TMenuItem*> DesignedItems(shell::TProxyCore& c) {
  return {c.N6, c.N1, c.N2, c.N3, c.G1, c.B1, c.Y1, c.babylon1, c.P1, c.N4, c.N8, c.E1, c.N9, c.N7, c.N5};
}

TEST_F(FormTest, TrayIconWithoutStatusNotifierItemExportsNoMenu) {
  // Offscreen there is no tray at all; the XEmbed icon is the same case: a context menu would make Qt open
  // it on a right-button press beside the icon's own popup.
  TForm1& f = create();
  EXPECT_EQ(f.TrayIcon->ExportedMenu(), nullptr);
  EXPECT_EQ(f.TrayIcon->Icon().contextMenu(), nullptr);
}

TEST_F(FormTest, ExportedMenuHoldsTheVisibleItemsInOrder) {
  TForm1& f = create();
  shell::TProxyCore& c = f.Core();
  TExportedMenu exported(c.PopupMenu1, f.sAlphaImageList1);
  ExpectCopies(exported, f.sAlphaImageList1, DesignedItems(c));  // no SYSTRAN
  EXPECT_EQ(CopyOf(exported, c.S1), nullptr);
}

TEST_F(FormTest, ExportedMenuFollowsEngineLanguageAndOnOffItem) {
  TForm1& f = create();
  shell::TProxyCore& c = f.Core();
  TExportedMenu exported(c.PopupMenu1, f.sAlphaImageList1);
  c.B1->Click();
  ExpectCopies(exported, f.sAlphaImageList1, DesignedItems(c));
  EXPECT_TRUE(CopyOf(exported, c.B1)->isChecked());
  c.E1->Click();
  ExpectCopies(exported, f.sAlphaImageList1, DesignedItems(c));
  EXPECT_EQ(FromQString(CopyOf(exported, c.N5)->text()), c.N5->Caption());

  c.N6->Click();  // server on: the "online" picture at once, the caption at the next tick
  ExpectCopies(exported, f.sAlphaImageList1, DesignedItems(c));
  c.Timer1Timer();
  ExpectCopies(exported, f.sAlphaImageList1, DesignedItems(c));

  // Ticks that change nothing send nothing: every change of a copy goes out on the bus.
  int changes = 0;
  QObject::connect(CopyOf(exported, c.N6), &QAction::changed, [&changes] { ++changes; });
  for (int i = 0; i < 3; ++i) c.Timer1Timer();
  EXPECT_EQ(changes, 0);
  c.N6->Click();
  EXPECT_GT(changes, 0);
}

TEST_F(FormTest, ChoosingACopyRunsTheMenuItem) {
  TForm1& f = create();
  shell::TProxyCore& c = f.Core();
  TExportedMenu exported(c.PopupMenu1, f.sAlphaImageList1);
  for (int repeat = 0; repeat < 2; ++repeat) {  // the second time the item is already checked
    CopyOf(exported, c.B1)->trigger();
    EXPECT_EQ(c.EngineChoice().Snapshot()[translate::kBing].Checked, true);
    EXPECT_EQ(c.EngineChoice().Snapshot()[translate::kGoogle].Checked, false);
    EXPECT_EQ(f.TrayIcon->IconIndex(), TImageList::kBing);
    EXPECT_TRUE(CopyOf(exported, c.B1)->isChecked());
    EXPECT_FALSE(CopyOf(exported, c.G1)->isChecked());
  }
  CopyOf(exported, c.E1)->trigger();
  EXPECT_TRUE(c.E1->Checked());
  CopyOf(exported, c.N8)->trigger();
  EXPECT_TRUE(c.N8->Checked());
  EXPECT_TRUE(CopyOf(exported, c.N8)->isChecked());
  EXPECT_FALSE(CopyOf(exported, c.E1)->isChecked());
  CopyOf(exported, c.N5)->trigger();
  EXPECT_EQ(terminations, 1);
  EXPECT_TRUE(errors.empty());
}

TEST_F(FormTest, ExportedMenuDropsHiddenItemsAndRefusesTheirCopies) {
  TForm1& f = create();
  shell::TProxyCore& c = f.Core();
  TExportedMenu exported(c.PopupMenu1, f.sAlphaImageList1);
  QAction* promt = CopyOf(exported, c.P1);
  ASSERT_NE(promt, nullptr);
  // A host may still click the copy of an item hidden a moment ago, before the copy is rebuilt.
  c.P1->SetVisible(false);
  promt->trigger();
  EXPECT_FALSE(c.P1->Checked());
  EXPECT_FALSE(promt->isChecked());
  EXPECT_TRUE(c.G1->Checked());
  ASSERT_TRUE(ProcessEventsUntil([&] { return CopyOf(exported, c.P1) == nullptr; }));

  c.S1->SetVisible(true);
  ASSERT_TRUE(ProcessEventsUntil([&] { return CopyOf(exported, c.S1) != nullptr; }));
  ExpectCopies(exported, f.sAlphaImageList1,
               {c.N6, c.N1, c.N2, c.N3, c.G1, c.B1, c.Y1, c.babylon1, c.S1, c.N4, c.N8, c.E1, c.N9, c.N7, c.N5});
}

TEST_F(FormTest, ExportedMenuLeavesOutSeparatorsWithNothingBetween) {
  TForm1& f = create();
  shell::TProxyCore& c = f.Core();
  TExportedMenu exported(c.PopupMenu1, f.sAlphaImageList1);
  for (TMenuItem* item : {c.N6, c.N1, c.N2, c.N8, c.E1, c.N7, c.N5}) item->SetVisible(false);
  ASSERT_TRUE(ProcessEventsUntil([&] { return exported.Menu().actions().size() == 5; }));
  ExpectCopies(exported, f.sAlphaImageList1, {c.G1, c.B1, c.Y1, c.babylon1, c.P1});
}

TEST_F(FormTest, ExportedMenuTakesItemsAddedAndRemovedLater) {
  TForm1& f = create();
  shell::TProxyCore& c = f.Core();
  TExportedMenu exported(c.PopupMenu1, f.sAlphaImageList1);
  TMenuItem& added = c.PopupMenu1.Insert(*c.N4, "Added", u"Added");
  added.SetCheckable(true);
  added.SetChecked(true);
  ASSERT_TRUE(ProcessEventsUntil([&] { return CopyOf(exported, &added) != nullptr; }));
  ExpectCopies(
      exported, f.sAlphaImageList1,
      {c.N6, c.N1, c.N2, c.N3, c.G1, c.B1, c.Y1, c.babylon1, c.P1, &added, c.N4, c.N8, c.E1, c.N9, c.N7, c.N5});
  c.PopupMenu1.Remove(added);
  ASSERT_TRUE(ProcessEventsUntil([&] { return exported.Menu().actions().size() == 15; }));
  ExpectCopies(exported, f.sAlphaImageList1, DesignedItems(c));
}

TEST(ExportedMenu, OutlivesItsMenu) {
  // At exit the core, and its menu, go before the tray icon that exports the menu.
  const TImageList images;
  auto menu = std::make_unique<shell::TPopupMenu>();
  menu->Add("One", u"One");
  menu->AddLine("Line");
  menu->Add("Two", u"Two");
  TExportedMenu exported(*menu, images);
  ASSERT_EQ(exported.Menu().actions().size(), 3);
  QAction* copy = exported.Menu().actions().front();
  menu.reset();
  copy->trigger();
  EXPECT_EQ(exported.SourceOf(copy), nullptr);
  ASSERT_TRUE(ProcessEventsUntil([&] { return exported.Menu().actions().isEmpty(); }));
}

}  // namespace
}  // namespace tessarine::ui::testing
