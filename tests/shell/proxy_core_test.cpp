// The core as every shell draws it: the tray menu's items, the engine choice, the on/off item with Timer1, the
// interface language, the tray icon's mouse actions, the session's end, [Server] Address, and the log while the
// server is switched off.

#include <atomic>
#include <thread>

#include "core_fixture.h"
#include "support/raw_socket.h"

namespace tessarine::shell::testing {
namespace {

struct EngineCase {
  TMenuItem* TProxyCore::*Item;
  void (TProxyCore::*Handler)();
  int Index;
  const char* Picture;
};

const EngineCase kEngines[] = {
    {&TProxyCore::G1, &TProxyCore::G1Click, translate::kGoogle, "googletr"},
    {&TProxyCore::B1, &TProxyCore::B1Click, translate::kBing, "bingicon"},
    {&TProxyCore::Y1, &TProxyCore::Y1Click, translate::kYandex, "yandextr"},
    {&TProxyCore::babylon1, &TProxyCore::babylon1Click, translate::kBabylon, "babylon"},
    {&TProxyCore::P1, &TProxyCore::P1Click, translate::kPromt, "promtonlain"},
    {&TProxyCore::S1, &TProxyCore::S1Click, translate::kSystran, "systanet"},
};

std::vector<bool> Marks(const TProxyCore& core) {
  return {core.G1->Checked(),       core.B1->Checked(), core.Y1->Checked(),
          core.babylon1->Checked(), core.P1->Checked(), core.S1->Checked()};
}

std::vector<bool> Choice(const TProxyCore& core) {
  std::vector<bool> checked;
  for (const translate::TEngineItem& item : core.EngineChoice().Snapshot()) checked.push_back(item.Checked);
  return checked;
}

TEST_F(CoreTest, MenuHasTheDesignedItemsInOrder) {
  TProxyCore& c = create();
  const std::vector<TMenuItem*> expected{c.N6, c.N1, c.N2, c.N3, c.G1, c.B1, c.Y1, c.babylon1,
                                         c.P1, c.S1, c.N4, c.N8, c.E1, c.N9, c.N7, c.N5};
  ASSERT_EQ(c.PopupMenu1.Count(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(&c.PopupMenu1.Item(i), expected[i]) << i;
  std::vector<std::string> names;
  for (const TMenuItem* item : expected) names.push_back(item->Name());
  EXPECT_EQ(names, (std::vector<std::string>{"N6", "N1", "N2", "N3", "G1", "B1", "Y1", "babylon1", "P1", "S1", "N4",
                                             "N8", "E1", "N9", "N7", "N5"}));
  EXPECT_TRUE(c.N3->IsLine() && c.N4->IsLine() && c.N9->IsLine());
  EXPECT_FALSE(c.S1->Visible());
  EXPECT_EQ(c.PopupMenu1.DefaultItem(), c.N8);
  EXPECT_EQ(c.N6->Caption(), u"Выключено");
  EXPECT_EQ(c.N6->Picture(), "offline");
  EXPECT_EQ(c.N1->Picture(), "file_temporary_4559");
  EXPECT_EQ(c.N2->Picture(), "delete_64");
  for (const EngineCase& engine : kEngines) {
    EXPECT_EQ((c.*engine.Item)->Picture(), engine.Picture);
    EXPECT_TRUE((c.*engine.Item)->Checkable());
  }
  EXPECT_TRUE(c.N8->Checkable() && c.E1->Checkable());
  EXPECT_FALSE(c.N6->Checkable() || c.N1->Checkable() || c.N7->Checkable() || c.N5->Checkable());
  EXPECT_TRUE(c.N7->Picture().empty() && c.N8->Picture().empty());
  EXPECT_EQ(c.TrayPicture(), "googletr");
  EXPECT_EQ(c.LogCaption(), u"Лог запросов и ответов:");
  EXPECT_TRUE(errors.empty());
}

TEST_F(CoreTest, ChoosingAnEngineChecksOnlyItAndShowsItsPicture) {
  TProxyCore& c = create();
  for (const EngineCase& engine : kEngines) {
    // Choosing the checked one keeps it checked.
    for (int repeat = 0; repeat < 2; ++repeat) {
      shell.Calls.clear();
      (c.*engine.Handler)();
      std::vector<bool> expected(6, false);
      expected[static_cast<size_t>(engine.Index)] = true;
      EXPECT_EQ(Marks(c), expected) << engine.Index;
      EXPECT_EQ(Choice(c), expected) << engine.Index;
      EXPECT_EQ(c.TrayPicture(), engine.Picture);
      EXPECT_EQ(shell.Calls, std::vector<std::string>{"tray " + std::string(engine.Picture)});
    }
  }
}

TEST_F(CoreTest, SavedEngineFlagsAreRestoredAsTheyAre) {
  set(u"General", u"Google", u"1");
  set(u"General", u"Bing", u"1");
  TProxyCore& c = create();
  EXPECT_EQ(Marks(c), (std::vector<bool>{true, true, false, false, false, false}));
  EXPECT_EQ(Choice(c), Marks(c));
  EXPECT_EQ(c.TrayPicture(), "googletr") << "the picture of the first checked engine, which the requests go to";
  c.Y1->Click();
  EXPECT_EQ(Marks(c), (std::vector<bool>{false, false, true, false, false, false}));

  set(u"General", u"Google", u"0");
  set(u"General", u"Promt", u"1");
  EXPECT_EQ(create().TrayPicture(), "bingicon");
  EXPECT_EQ(shell.Count("tray bingicon"), 1) << "shown from the start";
  set(u"General", u"Bing", u"0");
  EXPECT_EQ(create().TrayPicture(), "promtonlain");
}

TEST_F(CoreTest, NoSavedEngineLeavesEveryItemUnchecked) {
  for (const char16_t* key : {u"Google", u"Bing", u"Yandex", u"Babylon", u"Promt"}) set(u"General", key, u"0");
  TProxyCore& c = create();
  EXPECT_EQ(Marks(c), std::vector<bool>(6, false));
  EXPECT_EQ(Choice(c), std::vector<bool>(6, false));
  EXPECT_EQ(c.TrayPicture(), "googletr") << "the designed picture";
}

struct OnOffCase {
  const char16_t* Language;
  const char16_t* Running;
  const char16_t* Stopped;
};

// The item names the server's state in both languages; the caption follows one tick late, the picture at once.
TEST_F(CoreTest, OnOffCaptionNamesTheStateOneTickLatePictureAtOnce) {
  for (const OnOffCase& language :
       {OnOffCase{u"Русский", u"Включено", u"Выключено"}, OnOffCase{u"English", u"On", u"Off"}}) {
    SCOPED_TRACE(ToUtf8(language.Language));
    set(u"Setting", u"Language", language.Language);
    TProxyCore& c = create();
    EXPECT_EQ(c.N6->Caption(), u"Выключено") << "the stopped state until the first tick, whatever the language";
    c.Timer1Timer();
    EXPECT_EQ(c.N6->Caption(), language.Stopped);
    EXPECT_EQ(c.N6->Picture(), "offline");

    c.N6->Click();  // on
    ASSERT_TRUE(c.IdHTTPServer1.Active());
    EXPECT_EQ(c.N6->Caption(), language.Stopped) << "the caption of the previous state until the tick";
    EXPECT_EQ(c.N6->Picture(), "online");
    EXPECT_FALSE(c.ProxyActiveFlag) << "only the timer updates the saved flag";
    c.Timer1Timer();
    EXPECT_EQ(c.N6->Caption(), language.Running);
    EXPECT_EQ(c.N6->Picture(), "online");
    EXPECT_TRUE(c.ProxyActiveFlag);

    c.N6->Click();  // off
    EXPECT_FALSE(c.IdHTTPServer1.Active());
    EXPECT_EQ(c.N6->Caption(), language.Running);
    EXPECT_EQ(c.N6->Picture(), "offline");
    EXPECT_TRUE(c.ProxyActiveFlag);
    c.Timer1Timer();
    EXPECT_EQ(c.N6->Caption(), language.Stopped);
    EXPECT_FALSE(c.ProxyActiveFlag);

    // Two clicks within one tick stop and restart the server.
    c.N6->Click();
    c.Timer1Timer();
    ASSERT_TRUE(c.IdHTTPServer1.Active());
    c.N6->Click();
    c.N6->Click();
    c.Timer1Timer();
    EXPECT_TRUE(c.IdHTTPServer1.Active());
    EXPECT_EQ(c.N6->Caption(), language.Running);
    EXPECT_EQ(c.N6->Picture(), "online");
    EXPECT_TRUE(errors.empty());
  }
}

TEST_F(CoreTest, UnrecognisedLanguageLeavesTheOnOffCaptionEmpty) {
  set(u"Setting", u"Language", u"english");
  TProxyCore& c = create();
  EXPECT_TRUE(c.OnCaption.empty());
  EXPECT_TRUE(c.OffCaption.empty());
  EXPECT_EQ(c.N6->Caption(), u"Выключено") << "until the first tick";
  c.Timer1Timer();
  EXPECT_EQ(c.N6->Caption(), u"");
  EXPECT_EQ(c.N6->Picture(), "offline");
  EXPECT_TRUE(c.N8->Checked());
  EXPECT_FALSE(c.E1->Checked());
  EXPECT_EQ(c.N1->Caption(), u"Показать лог");
}

TEST_F(CoreTest, FailedSwitchOnReportsTheBindErrorAndLeavesTheItem) {
  test_support::RawSocket taken = test_support::RawListenOn(AF_INET, 0, {.loopback = true, .likeAServer = true});
  ASSERT_TRUE(taken.Valid());
  TProxyCore& c = create(test_support::LocalPort(taken));
  c.N6->Click();
  EXPECT_FALSE(c.IdHTTPServer1.Active());
  // The bind error does not say which port; the line after it does.
  EXPECT_EQ(errors,
            std::vector<std::u16string>{u"Could not bind socket. Address and port are already in use.\nPort " +
                                        IntToStr(test_support::LocalPort(taken)) +
                                        u" on 127.0.0.1 is in use by another program, or the address is not one of "
                                        u"this computer's."});
  EXPECT_EQ(c.N6->Caption(), u"Выключено");
  EXPECT_EQ(c.N6->Picture(), "offline");
}

TEST_F(CoreTest, ApplyLanguageSetsTheExactCaptions) {
  TProxyCore& c = create();
  c.ApplyLanguage(u"English");
  EXPECT_EQ(c.LogCaption(), u"Log of requests and answers:");
  EXPECT_EQ(shell.Calls.back(), "caption Log of requests and answers:");
  EXPECT_EQ(c.N1->Caption(), u"Show log");
  EXPECT_EQ(c.N2->Caption(), u"Clear log");
  EXPECT_EQ(c.N7->Caption(), u"About");
  EXPECT_EQ(c.N5->Caption(), u"Exit");
  EXPECT_EQ(c.OnCaption, u"On");
  EXPECT_EQ(c.OffCaption, u"Off");
  EXPECT_FALSE(c.N8->Checked());
  EXPECT_TRUE(c.E1->Checked());
  EXPECT_EQ(c.N6->Caption(), u"Выключено") << "the on/off item waits for the timer";
  EXPECT_EQ(c.N8->Caption(), u"Русский");
  EXPECT_EQ(c.E1->Caption(), u"English");
  EXPECT_EQ(c.G1->Caption(), u"Google");

  // Values are compared exactly.
  for (const char16_t* other : {u"english", u"Русский ", u"", u"ENGLISH"}) {
    c.ApplyLanguage(other);
    EXPECT_EQ(c.N1->Caption(), u"Show log");
    EXPECT_TRUE(c.E1->Checked());
  }

  c.N8->Click();
  EXPECT_EQ(c.LogCaption(), u"Лог запросов и ответов:");
  EXPECT_EQ(c.N1->Caption(), u"Показать лог");
  EXPECT_EQ(c.N2->Caption(), u"Очистить лог");
  EXPECT_EQ(c.N7->Caption(), u"О программе");
  EXPECT_EQ(c.N5->Caption(), u"Выход");
  EXPECT_EQ(c.OnCaption, u"Включено");
  EXPECT_EQ(c.OffCaption, u"Выключено");
  EXPECT_TRUE(c.N8->Checked());
  EXPECT_FALSE(c.E1->Checked());
  // Choosing the current language again keeps it checked.
  c.N8->Click();
  EXPECT_TRUE(c.N8->Checked());
}

TEST_F(CoreTest, TrayIconMouseActions) {
  set(u"Setting", u"Language", u"English");
  TProxyCore& c = create();
  ASSERT_TRUE(c.E1->Checked());
  shell.Calls.clear();
  for (TIconMessage nothing : {TIconMessage::Click, TIconMessage::MiddleClick}) c.HandleIconMessage(nothing);
  EXPECT_TRUE(c.E1->Checked());
  EXPECT_TRUE(shell.Calls.empty());
  c.HandleIconMessage(TIconMessage::ContextMenu);
  EXPECT_EQ(shell.Calls, std::vector<std::string>{"PopupAtCursor"});
  c.HandleIconMessage(TIconMessage::DoubleClick);  // performs the default item: Russian
  EXPECT_TRUE(c.N8->Checked());
  EXPECT_EQ(c.N5->Caption(), u"Выход");
}

// The session ending (log-off, shutdown) ends the program without Exit; the choices are kept all the same.
TEST_F(CoreTest, TheSessionEndingSavesAsExitDoesWithoutEndingTheProgram) {
  TProxyCore& c = create();
  c.B1->Click();
  c.E1->Click();
  c.SessionEnding();
  EXPECT_EQ(settings->Writes, (std::vector<std::u16string>{u"General/ProxyActive=0", u"General/Google=0",
                                                           u"General/Bing=1", u"General/Yandex=0", u"General/Babylon=0",
                                                           u"General/Promt=0", u"Setting/Language=English"}));
  EXPECT_EQ(shell.Count("Terminate"), 0);
  c.N5->Click();
  EXPECT_EQ(shell.Count("Terminate"), 1);
}

// [Server] Address: the server keeps to that one address when the settings name it, and to none when the value
// is no address at all; without it the server listens on every address as it always has.
TEST_F(CoreTest, WithoutAnAddressTheServerListensOnEveryAddress) {
  TProxyCore& c = create(std::nullopt);
  EXPECT_EQ(c.IdHTTPServer1.Bindings().Count(), 0);  // filled with the any-addresses when switched on
  EXPECT_TRUE(errors.empty());
}

TEST_F(CoreTest, AnAddressKeepsTheServerToItOnPort8888) {
  for (const auto& [address, version] : {std::pair{u"127.0.0.1", net::Id_IPv4}, std::pair{u"::1", net::Id_IPv6}}) {
    set(u"Server", u"Address", address);
    TProxyCore& c = create(std::nullopt);
    ASSERT_EQ(c.IdHTTPServer1.Bindings().Count(), 1);
    EXPECT_EQ(c.IdHTTPServer1.Bindings()[0].IP(), address);
    EXPECT_EQ(c.IdHTTPServer1.Bindings()[0].IPVersion(), version);
    EXPECT_EQ(c.IdHTTPServer1.Bindings()[0].Port(), 8888);
    EXPECT_TRUE(errors.empty());
  }
}

TEST_F(CoreTest, AValueThatIsNoAddressIsReportedAndNeverWidensToEveryAddress) {
  set(u"Server", u"Address", u"localhost:8888");
  TProxyCore& c = create(std::nullopt);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0],
            u"[Server] Address=localhost:8888 is not an IPv4 or IPv6 address; the server cannot be "
            u"switched on.");
  ASSERT_EQ(c.IdHTTPServer1.Bindings().Count(), 1);
  EXPECT_EQ(c.IdHTTPServer1.Bindings()[0].IP(), u"localhost:8888");
}

// 32 threads log while requests run and the server is switched off with an engine call hanging: nothing
// deadlocks, the hanging call is aborted, and every thread's lines arrive once and in order.
TEST_F(CoreTest, ThreadsLogWhileTheServerIsSwitchedOff) {
  TProxyCore& c = create();
  c.N6->Click();
  ASSERT_TRUE(c.IdHTTPServer1.Active());
  const uint16_t port = c.ListeningPort();
  upstream.Hold = true;

  // A request whose engine call hangs until aborted.
  std::thread client([port] {
    test_support::RawSocket socket = test_support::RawConnectTo(AF_INET, port);
    socket.Send("GET /linxp_translate_t?text=hang&langpair=en|de HTTP/1.0\r\n\r\n");
    socket.Receive(SIZE_MAX, test_support::kWaitLimit);
  });
  ASSERT_TRUE(test_support::WaitFor([&] { return upstream.Calls() == 1; }));

  constexpr int kThreads = 32;
  constexpr int kLines = 300;
  std::atomic<int> started{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&c, &started, t] {
      ++started;
      for (int i = 0; i < kLines; ++i) c.AddLogLine(u"t" + IntToStr(t) + u" " + IntToStr(i));
    });
  }
  ASSERT_TRUE(test_support::WaitFor([&] { return started == kThreads; }));
  c.N6->Click();  // blocks the UI thread until every worker has ended
  EXPECT_FALSE(c.IdHTTPServer1.Active());
  EXPECT_GE(upstream.Aborts(), 1);
  for (std::thread& writer : writers) writer.join();
  client.join();
  EXPECT_TRUE(errors.empty());

  std::vector<int> next(kThreads, 0);
  int handlerLines = 0;
  const std::u16string log = logged();
  for (size_t start = 0, end; (end = log.find(u'\n', start)) != std::u16string::npos; start = end + 1) {
    const std::u16string line = log.substr(start, end - start);
    const size_t space = line.find(u' ');
    if (line.empty() || line[0] != u't' || space == std::u16string::npos) {
      ++handlerLines;
      continue;
    }
    const int thread = std::stoi(ToUtf8(line.substr(1, space - 1)));
    const int index = std::stoi(ToUtf8(line.substr(space + 1)));
    ASSERT_EQ(index, next[static_cast<size_t>(thread)]) << ToUtf8(line);
    ++next[static_cast<size_t>(thread)];
  }
  EXPECT_EQ(next, std::vector<int>(kThreads, kLines));
  // The aborted request logged the text and language lines (4), nothing after the failed engine call.
  EXPECT_EQ(handlerLines, 4);
}

}  // namespace
}  // namespace tessarine::shell::testing
