// The tray menu as a StatusNotifierItem exports it: a copy of the popup menu that follows it, leaves hidden
// items out, and passes a chosen item on only while the menu's own item can be chosen.

#include <memory>

#include "form_fixture.h"
#include "ui/exported_menu.h"

namespace tessarine::ui::testing {
namespace {

// The copy holds exactly these menu items, in this order, each looking as the item does.
void ExpectCopies(TExportedMenu& exported, const std::vector<QAction*>& items) {
  const QList<QAction*> copies = exported.Menu().actions();
  ASSERT_EQ(copies.size(), static_cast<qsizetype>(items.size()));
  for (size_t i = 0; i < items.size(); ++i) {
    const QAction* copy = copies[static_cast<qsizetype>(i)];
    const QAction* item = items[i];
    SCOPED_TRACE(item->isSeparator() ? std::string("separator ") + std::to_string(i) : item->text().toStdString());
    ASSERT_EQ(copy->isSeparator(), item->isSeparator());
    EXPECT_EQ(exported.SourceOf(copy), item);
    if (item->isSeparator()) continue;
    EXPECT_EQ(copy->text(), item->text());
    EXPECT_EQ(copy->icon().cacheKey(), item->icon().cacheKey());
    EXPECT_EQ(copy->isCheckable(), item->isCheckable());
    EXPECT_EQ(copy->isChecked(), item->isChecked());
    EXPECT_TRUE(copy->isEnabled());
    EXPECT_TRUE(copy->isVisible());
  }
}

QAction* CopyOf(TExportedMenu& exported, const QAction* item) {
  for (QAction* copy : exported.Menu().actions())
    if (exported.SourceOf(copy) == item) return copy;
  return nullptr;
}

std::vector<QAction*> DesignedItems(TForm1& f) {
  return {f.N6, f.N1, f.N2, f.N3, f.G1, f.B1, f.Y1, f.babylon1, f.P1, f.N4, f.N8, f.E1, f.N9, f.N7, f.N5};
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
  TExportedMenu exported(*f.PopupMenu1);
  ExpectCopies(exported, DesignedItems(f));  // no SYSTRAN
  EXPECT_EQ(CopyOf(exported, f.S1), nullptr);
}

TEST_F(FormTest, ExportedMenuFollowsEngineLanguageAndOnOffItem) {
  TForm1& f = create();
  TExportedMenu exported(*f.PopupMenu1);
  f.B1->trigger();
  ExpectCopies(exported, DesignedItems(f));
  EXPECT_TRUE(CopyOf(exported, f.B1)->isChecked());
  f.E1->trigger();
  ExpectCopies(exported, DesignedItems(f));
  EXPECT_EQ(CopyOf(exported, f.N5)->text(), f.N5->text());

  f.N6->trigger();  // server on: the "online" picture at once, the caption at the next tick
  ExpectCopies(exported, DesignedItems(f));
  f.Timer1Timer();
  ExpectCopies(exported, DesignedItems(f));

  // Ticks that change nothing send nothing: every change of a copy goes out on the bus.
  int changes = 0;
  QObject::connect(CopyOf(exported, f.N6), &QAction::changed, [&changes] { ++changes; });
  for (int i = 0; i < 3; ++i) f.Timer1Timer();
  EXPECT_EQ(changes, 0);
  f.N6->trigger();
  EXPECT_GT(changes, 0);
}

TEST_F(FormTest, ChoosingACopyRunsTheMenuItem) {
  TForm1& f = create();
  TExportedMenu exported(*f.PopupMenu1);
  for (int repeat = 0; repeat < 2; ++repeat) {  // the second time the item is already checked
    CopyOf(exported, f.B1)->trigger();
    EXPECT_EQ(f.EngineChoice().Snapshot()[translate::kBing].Checked, true);
    EXPECT_EQ(f.EngineChoice().Snapshot()[translate::kGoogle].Checked, false);
    EXPECT_EQ(f.TrayIcon->IconIndex(), TImageList::kBing);
    EXPECT_TRUE(CopyOf(exported, f.B1)->isChecked());
    EXPECT_FALSE(CopyOf(exported, f.G1)->isChecked());
  }
  CopyOf(exported, f.E1)->trigger();
  EXPECT_TRUE(f.E1->isChecked());
  CopyOf(exported, f.N8)->trigger();
  EXPECT_TRUE(f.N8->isChecked());
  EXPECT_TRUE(CopyOf(exported, f.N8)->isChecked());
  EXPECT_FALSE(CopyOf(exported, f.E1)->isChecked());
  CopyOf(exported, f.N5)->trigger();
  EXPECT_EQ(terminations, 1);
  EXPECT_TRUE(errors.empty());
}

TEST_F(FormTest, ExportedMenuDropsHiddenItemsAndRefusesTheirCopies) {
  TForm1& f = create();
  TExportedMenu exported(*f.PopupMenu1);
  QAction* promt = CopyOf(exported, f.P1);
  ASSERT_NE(promt, nullptr);
  // A host may still click the copy of an item hidden a moment ago, before the copy is rebuilt.
  f.P1->setVisible(false);
  promt->trigger();
  EXPECT_FALSE(f.P1->isChecked());
  EXPECT_FALSE(promt->isChecked());
  EXPECT_TRUE(f.G1->isChecked());
  ASSERT_TRUE(ProcessEventsUntil([&] { return CopyOf(exported, f.P1) == nullptr; }));

  f.S1->setVisible(true);
  ASSERT_TRUE(ProcessEventsUntil([&] { return CopyOf(exported, f.S1) != nullptr; }));
  ExpectCopies(exported,
               {f.N6, f.N1, f.N2, f.N3, f.G1, f.B1, f.Y1, f.babylon1, f.S1, f.N4, f.N8, f.E1, f.N9, f.N7, f.N5});
}

TEST_F(FormTest, ExportedMenuLeavesOutSeparatorsWithNothingBetween) {
  TForm1& f = create();
  TExportedMenu exported(*f.PopupMenu1);
  for (QAction* item : {f.N6, f.N1, f.N2, f.N8, f.E1, f.N7, f.N5}) item->setVisible(false);
  ASSERT_TRUE(ProcessEventsUntil([&] { return exported.Menu().actions().size() == 5; }));
  ExpectCopies(exported, {f.G1, f.B1, f.Y1, f.babylon1, f.P1});
}

TEST_F(FormTest, ExportedMenuTakesItemsAddedAndRemovedLater) {
  TForm1& f = create();
  TExportedMenu exported(*f.PopupMenu1);
  auto added = std::make_unique<QAction>(QStringLiteral("Added"));
  added->setCheckable(true);
  added->setChecked(true);
  f.PopupMenu1->insertAction(f.N4, added.get());
  ASSERT_TRUE(ProcessEventsUntil([&] { return CopyOf(exported, added.get()) != nullptr; }));
  ExpectCopies(exported, {f.N6, f.N1, f.N2, f.N3, f.G1, f.B1, f.Y1, f.babylon1, f.P1, added.get(), f.N4, f.N8, f.E1,
                          f.N9, f.N7, f.N5});
  added.reset();
  ASSERT_TRUE(ProcessEventsUntil([&] { return exported.Menu().actions().size() == 15; }));
  ExpectCopies(exported, DesignedItems(f));
}

TEST(ExportedMenu, OutlivesItsMenu) {
  // At exit the main window's children go in creation order: the popup menu before the tray icon.
  auto menu = std::make_unique<QMenu>();
  menu->addAction(QStringLiteral("One"));
  menu->addSeparator();
  menu->addAction(QStringLiteral("Two"));
  TExportedMenu exported(*menu);
  ASSERT_EQ(exported.Menu().actions().size(), 3);
  QAction* copy = exported.Menu().actions().front();
  menu.reset();
  copy->trigger();
  EXPECT_EQ(exported.SourceOf(copy), nullptr);
  ASSERT_TRUE(ProcessEventsUntil([&] { return exported.Menu().actions().isEmpty(); }));
}

}  // namespace
}  // namespace tessarine::ui::testing
