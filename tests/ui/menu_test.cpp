// The tray menu: engine choice, the on/off item with Timer1, the interface language.

#include <QFont>

#include "form_fixture.h"
#include "net/server/server_exceptions.h"
#include "support/raw_socket.h"

namespace tessarine::ui::testing {
namespace {

struct EngineCase {
  QAction* TForm1::*Item;
  int Index;
  int Picture;
};

const EngineCase kEngines[] = {
    {&TForm1::G1, translate::kGoogle, 0}, {&TForm1::B1, translate::kBing, 1},
    {&TForm1::Y1, translate::kYandex, 2}, {&TForm1::babylon1, translate::kBabylon, 8},
    {&TForm1::P1, translate::kPromt, 7},  {&TForm1::S1, translate::kSystran, 9},
};

std::vector<bool> Marks(TForm1& form) {
  return {form.G1->isChecked(),       form.B1->isChecked(), form.Y1->isChecked(),
          form.babylon1->isChecked(), form.P1->isChecked(), form.S1->isChecked()};
}

std::vector<bool> Choice(const TForm1& form) {
  std::vector<bool> checked;
  for (const translate::TEngineItem& item : form.EngineChoice().Snapshot()) checked.push_back(item.Checked);
  return checked;
}

TEST_F(FormTest, MenuHasTheDesignedItemsInOrder) {
  TForm1& f = create();
  const QList<QAction*> items = f.PopupMenu1->actions();
  const std::vector<QAction*> expected{f.N6, f.N1, f.N2, f.N3, f.G1, f.B1, f.Y1, f.babylon1,
                                       f.P1, f.S1, f.N4, f.N8, f.E1, f.N9, f.N7, f.N5};
  ASSERT_EQ(items.size(), static_cast<qsizetype>(expected.size()));
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(items[static_cast<qsizetype>(i)], expected[i]) << i;
  EXPECT_TRUE(f.N3->isSeparator() && f.N4->isSeparator() && f.N9->isSeparator());
  EXPECT_FALSE(f.S1->isVisible());
  EXPECT_EQ(f.PopupMenu1->defaultAction(), f.N8);
  EXPECT_TRUE(f.N8->font().bold());
  EXPECT_EQ(text(f.N6), u"Выключено");
  EXPECT_EQ(f.N6ImageIndex(), TImageList::kOffline);
  EXPECT_EQ(f.TrayIcon->IconIndex(), 0);
  EXPECT_FALSE(f.TrayIcon->IconVisible());
  EXPECT_TRUE(errors.empty());
}

TEST_F(FormTest, ChoosingAnEngineChecksOnlyItAndShowsItsPicture) {
  TForm1& f = create();
  for (const EngineCase& engine : kEngines) {
    // A checkable item toggles itself before its handler runs; choosing the checked one must keep it checked.
    for (int repeat = 0; repeat < 2; ++repeat) {
      (f.*engine.Item)->trigger();
      std::vector<bool> expected(6, false);
      expected[static_cast<size_t>(engine.Index)] = true;
      EXPECT_EQ(Marks(f), expected) << engine.Index;
      EXPECT_EQ(Choice(f), expected) << engine.Index;
      EXPECT_EQ(f.TrayIcon->IconIndex(), engine.Picture);
    }
  }
}

TEST_F(FormTest, SavedEngineFlagsAreRestoredAsTheyAre) {
  set(u"General", u"Google", u"1");
  set(u"General", u"Bing", u"1");
  TForm1& f = create();
  EXPECT_EQ(Marks(f), (std::vector<bool>{true, true, false, false, false, false}));
  EXPECT_EQ(Choice(f), Marks(f));
  EXPECT_EQ(f.TrayIcon->IconIndex(), 0) << "the picture of the first checked engine, which the requests go to";
  f.Y1->trigger();
  EXPECT_EQ(Marks(f), (std::vector<bool>{false, false, true, false, false, false}));

  form.reset();
  set(u"General", u"Google", u"0");
  set(u"General", u"Promt", u"1");
  EXPECT_EQ(create().TrayIcon->IconIndex(), TImageList::kBing);
  form.reset();
  set(u"General", u"Bing", u"0");
  EXPECT_EQ(create().TrayIcon->IconIndex(), TImageList::kPromt);
}

TEST_F(FormTest, NoSavedEngineLeavesEveryItemUnchecked) {
  for (const char16_t* key : {u"Google", u"Bing", u"Yandex", u"Babylon", u"Promt"}) set(u"General", key, u"0");
  TForm1& f = create();
  EXPECT_EQ(Marks(f), std::vector<bool>(6, false));
  EXPECT_EQ(Choice(f), std::vector<bool>(6, false));
  EXPECT_EQ(f.TrayIcon->IconIndex(), 0) << "the designed picture";
}

struct OnOffCase {
  const char16_t* Language;
  const char16_t* Running;
  const char16_t* Stopped;
};

// The item names the server's state in both languages; the caption follows one tick late, the picture at once.
TEST_F(FormTest, OnOffCaptionNamesTheStateOneTickLatePictureAtOnce) {
  for (const OnOffCase& language :
       {OnOffCase{u"Русский", u"Включено", u"Выключено"}, OnOffCase{u"English", u"On", u"Off"}}) {
    SCOPED_TRACE(ToUtf8(language.Language));
    set(u"Setting", u"Language", language.Language);
    TForm1& f = create();
    EXPECT_EQ(text(f.N6), u"Выключено") << "the stopped state until the first tick, whatever the language";
    f.Timer1Timer();
    EXPECT_EQ(text(f.N6), language.Stopped);
    EXPECT_EQ(f.N6ImageIndex(), TImageList::kOffline);

    f.N6->trigger();  // on
    ASSERT_TRUE(f.IdHTTPServer1.Active());
    EXPECT_EQ(text(f.N6), language.Stopped) << "the caption of the previous state until the tick";
    EXPECT_EQ(f.N6ImageIndex(), TImageList::kOnline);
    EXPECT_FALSE(f.ProxyActiveFlag) << "only the timer updates the saved flag";
    f.Timer1Timer();
    EXPECT_EQ(text(f.N6), language.Running);
    EXPECT_EQ(f.N6ImageIndex(), TImageList::kOnline);
    EXPECT_TRUE(f.ProxyActiveFlag);

    f.N6->trigger();  // off
    EXPECT_FALSE(f.IdHTTPServer1.Active());
    EXPECT_EQ(text(f.N6), language.Running);
    EXPECT_EQ(f.N6ImageIndex(), TImageList::kOffline);
    EXPECT_TRUE(f.ProxyActiveFlag);
    f.Timer1Timer();
    EXPECT_EQ(text(f.N6), language.Stopped);
    EXPECT_FALSE(f.ProxyActiveFlag);

    // Two clicks within one tick stop and restart the server.
    f.N6->trigger();
    f.Timer1Timer();
    ASSERT_TRUE(f.IdHTTPServer1.Active());
    f.N6->trigger();
    f.N6->trigger();
    f.Timer1Timer();
    EXPECT_TRUE(f.IdHTTPServer1.Active());
    EXPECT_EQ(text(f.N6), language.Running);
    EXPECT_EQ(f.N6ImageIndex(), TImageList::kOnline);
    EXPECT_TRUE(errors.empty());
    form.reset();
  }
}

TEST_F(FormTest, TimerRunsFromCreation) {
  TForm1& f = create();
  EXPECT_TRUE(f.Timer1->isActive());
  EXPECT_EQ(f.Timer1->interval(), 1000);
}

TEST_F(FormTest, UnrecognisedLanguageLeavesTheOnOffCaptionEmpty) {
  set(u"Setting", u"Language", u"english");
  TForm1& f = create();
  EXPECT_TRUE(f.OnCaption.empty());
  EXPECT_TRUE(f.OffCaption.empty());
  EXPECT_EQ(text(f.N6), u"Выключено") << "until the first tick";
  f.Timer1Timer();
  EXPECT_EQ(text(f.N6), u"");
  EXPECT_EQ(f.N6ImageIndex(), TImageList::kOffline);
  EXPECT_TRUE(f.N8->isChecked());
  EXPECT_FALSE(f.E1->isChecked());
  EXPECT_EQ(text(f.N1), u"Показать лог");
}

TEST_F(FormTest, FailedSwitchOnReportsTheBindErrorAndLeavesTheItem) {
  test_support::RawSocket taken = test_support::RawListenOn(AF_INET, 0, {.loopback = true, .likeAServer = true});
  ASSERT_TRUE(taken.Valid());
  TForm1& f = create(test_support::LocalPort(taken));
  f.N6->trigger();
  EXPECT_FALSE(f.IdHTTPServer1.Active());
  // The bind error does not say which port; the line after it does.
  EXPECT_EQ(errors,
            std::vector<std::u16string>{u"Could not bind socket. Address and port are already in use.\nPort " +
                                        IntToStr(test_support::LocalPort(taken)) +
                                        u" on 127.0.0.1 is in use by another program, or the address is not one of "
                                        u"this computer's."});
  EXPECT_EQ(text(f.N6), u"Выключено");
  EXPECT_EQ(f.N6ImageIndex(), TImageList::kOffline);
}

TEST_F(FormTest, ApplyLanguageSetsTheExactCaptions) {
  TForm1& f = create();
  f.ApplyLanguage(u"English");
  EXPECT_EQ(FromQString(f.sLabel1->text()), u"Log of requests and answers:");
  EXPECT_EQ(text(f.N1), u"Show log");
  EXPECT_EQ(text(f.N2), u"Clear log");
  EXPECT_EQ(text(f.N7), u"About");
  EXPECT_EQ(text(f.N5), u"Exit");
  EXPECT_EQ(f.OnCaption, u"On");
  EXPECT_EQ(f.OffCaption, u"Off");
  EXPECT_FALSE(f.N8->isChecked());
  EXPECT_TRUE(f.E1->isChecked());
  EXPECT_EQ(text(f.N6), u"Выключено") << "the on/off item waits for the timer";
  EXPECT_EQ(text(f.N8), u"Русский");
  EXPECT_EQ(text(f.E1), u"English");
  EXPECT_EQ(text(f.G1), u"Google");

  // Values are compared exactly.
  for (const char16_t* other : {u"english", u"Русский ", u"", u"ENGLISH"}) {
    f.ApplyLanguage(other);
    EXPECT_EQ(text(f.N1), u"Show log");
    EXPECT_TRUE(f.E1->isChecked());
  }

  f.N8->trigger();
  EXPECT_EQ(FromQString(f.sLabel1->text()), u"Лог запросов и ответов:");
  EXPECT_EQ(text(f.N1), u"Показать лог");
  EXPECT_EQ(text(f.N2), u"Очистить лог");
  EXPECT_EQ(text(f.N7), u"О программе");
  EXPECT_EQ(text(f.N5), u"Выход");
  EXPECT_EQ(f.OnCaption, u"Включено");
  EXPECT_EQ(f.OffCaption, u"Выключено");
  EXPECT_TRUE(f.N8->isChecked());
  EXPECT_FALSE(f.E1->isChecked());
  // Choosing the current language again keeps it checked.
  f.N8->trigger();
  EXPECT_TRUE(f.N8->isChecked());
}

TEST_F(FormTest, TrayIconMouseActions) {
  set(u"Setting", u"Language", u"English");
  TForm1& f = create();
  ASSERT_TRUE(f.E1->isChecked());
  f.TrayIcon->HandleIconMessage(QSystemTrayIcon::Trigger);  // a single click does nothing
  EXPECT_TRUE(f.E1->isChecked());
  f.TrayIcon->HandleIconMessage(QSystemTrayIcon::DoubleClick);  // performs the default item: Russian
  EXPECT_TRUE(f.N8->isChecked());
  EXPECT_EQ(text(f.N5), u"Выход");

  f.TrayIcon->SetIconIndex(TImageList::kCount);
  EXPECT_EQ(f.TrayIcon->IconIndex(), TImageList::kCount - 1);  // the last picture
}

// The session ending (log-off, shutdown) ends the program without Exit; the choices are kept all the same.
TEST_F(FormTest, TheSessionEndingSavesAsExitDoesWithoutEndingTheProgram) {
  TForm1& f = create();
  f.B1->trigger();
  f.E1->trigger();
  f.SessionEnding();
  EXPECT_EQ(settings->Writes, (std::vector<std::u16string>{u"General/ProxyActive=0", u"General/Google=0",
                                                           u"General/Bing=1", u"General/Yandex=0", u"General/Babylon=0",
                                                           u"General/Promt=0", u"Setting/Language=English"}));
  EXPECT_EQ(terminations, 0);
}

}  // namespace
}  // namespace tessarine::ui::testing
