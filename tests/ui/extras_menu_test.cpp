// The optional parts as the main window sets them up: the self-hosted engine's menu item and check mark, the
// cache and failover switched on from the settings, and Apertium's calls through the pool.

#include "form_fixture.h"
#include "support/raw_socket.h"
#include "support/scripted_server.h"
#include "support/test_certificates.h"

namespace tessarine::ui::testing {
namespace {

std::string Ask(uint16_t port, const std::string& text) {
  test_support::RawSocket socket = test_support::RawConnectTo(AF_INET, port);
  socket.Send("GET /linxp_translate_t?text=" + text + "&langpair=en|de HTTP/1.0\r\n\r\n");
  const std::string answer = socket.Receive(SIZE_MAX, test_support::kWaitLimit);
  return answer.substr(0, answer.find("\r\n"));
}

// What Exit writes with the server off, no built-in engine chosen and the one optional engine's line.
std::vector<std::u16string> ExitWritesWithOptional(const std::u16string& optionalLine) {
  return {u"General/ProxyActive=0", u"General/Google=0", u"General/Bing=0", u"General/Yandex=0",
          u"General/Babylon=0",     u"General/Promt=0",  optionalLine,      u"Setting/Language=Русский"};
}

TEST_F(FormTest, WithoutItsHostTheSelfHostedEngineIsNowhere) {
  TForm1& f = create();
  EXPECT_EQ(f.EngineItem(translate::kLibreTranslate), nullptr);
  EXPECT_EQ(f.PopupMenu1->actions().size(), 16);
  EXPECT_EQ(f.EngineChoice().AllItems().size(), 6u);
  f.N5->trigger();
  EXPECT_EQ(settings->Writes, (std::vector<std::u16string>{u"General/ProxyActive=0", u"General/Google=1",
                                                           u"General/Bing=0", u"General/Yandex=0", u"General/Babylon=0",
                                                           u"General/Promt=0", u"Setting/Language=Русский"}));
}

TEST_F(FormTest, AConfiguredSelfHostedEngineFollowsPromtAndKeepsItsCheckMark) {
  set(u"Engines", u"LibreTranslate", u"127.0.0.1:5000");
  set(u"General", u"Google", u"0");
  set(u"General", u"LibreTranslate", u"1");
  TForm1& f = create();
  ASSERT_NE(f.EngineItem(translate::kLibreTranslate), nullptr);
  const QList<QAction*> items = f.PopupMenu1->actions();
  ASSERT_EQ(items.size(), 17);
  EXPECT_EQ(items.indexOf(f.EngineItem(translate::kLibreTranslate)),
            items.indexOf(f.P1) + 2);  // the hidden S1 between them
  EXPECT_EQ(items.indexOf(f.N4), items.indexOf(f.EngineItem(translate::kLibreTranslate)) + 1);
  EXPECT_EQ(text(f.EngineItem(translate::kLibreTranslate)), u"LibreTranslate");
  EXPECT_TRUE(f.EngineItem(translate::kLibreTranslate)->isVisible());
  EXPECT_TRUE(f.EngineItem(translate::kLibreTranslate)->isChecked());
  EXPECT_FALSE(f.G1->isChecked());
  EXPECT_EQ(f.TrayIcon->IconIndex(), TImageList::kOnline) << "its picture from the start";

  f.B1->trigger();
  EXPECT_FALSE(f.EngineItem(translate::kLibreTranslate)->isChecked());
  for (int repeat = 0; repeat < 2; ++repeat) {
    f.EngineItem(translate::kLibreTranslate)->trigger();
    EXPECT_TRUE(f.EngineItem(translate::kLibreTranslate)->isChecked());
    EXPECT_FALSE(f.B1->isChecked());
    EXPECT_TRUE(f.EngineChoice().AllItems()[translate::kLibreTranslate].Checked);
    EXPECT_EQ(f.TrayIcon->IconIndex(), TImageList::kOnline);
  }
  f.N5->trigger();
  EXPECT_EQ(settings->Writes, ExitWritesWithOptional(u"General/LibreTranslate=1"));
  EXPECT_TRUE(errors.empty());
}

TEST_F(FormTest, ApertiumAloneFollowsPromtWithItsOwnPicture) {
  set(u"Engines", u"Apertium", u"localhost");
  set(u"General", u"Google", u"0");
  set(u"General", u"Apertium", u"1");
  set(u"General", u"LibreTranslate", u"1");  // not configured: read by nobody, written by nobody
  TForm1& f = create();
  QAction* apertium = f.EngineItem(translate::kApertium);
  ASSERT_NE(apertium, nullptr);
  EXPECT_EQ(f.EngineItem(translate::kLibreTranslate), nullptr);
  const QList<QAction*> items = f.PopupMenu1->actions();
  ASSERT_EQ(items.size(), 17);
  EXPECT_EQ(items.indexOf(apertium), items.indexOf(f.P1) + 2);
  EXPECT_EQ(text(apertium), u"Apertium");
  EXPECT_TRUE(apertium->isChecked());
  EXPECT_EQ(apertium->icon().pixmap(16).toImage(), f.sAlphaImageList1.Pixmap(TImageList::kApertium).toImage());
  EXPECT_EQ(f.TrayIcon->IconIndex(), TImageList::kApertium) << "its picture from the start";

  f.Y1->trigger();
  EXPECT_FALSE(apertium->isChecked());
  apertium->trigger();
  EXPECT_TRUE(apertium->isChecked());
  EXPECT_FALSE(f.Y1->isChecked());
  EXPECT_EQ(f.TrayIcon->IconIndex(), TImageList::kApertium);
  f.N5->trigger();
  EXPECT_EQ(settings->Writes, ExitWritesWithOptional(u"General/Apertium=1"));
  EXPECT_TRUE(errors.empty());
}

TEST_F(FormTest, BothOptionalEnginesInTableOrderEachWithItsCheckMark) {
  set(u"Engines", u"Apertium", u"127.0.0.1:2737");
  set(u"Engines", u"LibreTranslate", u"127.0.0.1:5000");
  TForm1& f = create();
  QAction* libre = f.EngineItem(translate::kLibreTranslate);
  QAction* apertium = f.EngineItem(translate::kApertium);
  ASSERT_TRUE(libre && apertium);
  const QList<QAction*> items = f.PopupMenu1->actions();
  EXPECT_EQ(items.indexOf(libre), items.indexOf(f.P1) + 2);
  EXPECT_EQ(items.indexOf(apertium), items.indexOf(libre) + 1);
  EXPECT_EQ(items.indexOf(f.N4), items.indexOf(apertium) + 1);
  EXPECT_TRUE(f.G1->isChecked());
  EXPECT_FALSE(libre->isChecked() || apertium->isChecked());

  apertium->trigger();
  EXPECT_FALSE(libre->isChecked() || f.G1->isChecked());
  libre->trigger();
  EXPECT_FALSE(apertium->isChecked());
  EXPECT_EQ(f.TrayIcon->IconIndex(), TImageList::kOnline);
  f.N5->trigger();
  ASSERT_EQ(settings->Writes.size(), 9u);
  EXPECT_EQ(settings->Writes[6], u"General/LibreTranslate=1");
  EXPECT_EQ(settings->Writes[7], u"General/Apertium=0");
}

TEST_F(FormTest, DeepLWithItsKeyFollowsTheOthersWithItsOwnPictureAndCheckMark) {
  set(u"Engines", u"DeepLKey", u"0d5e3f2a-93b7-4d1e-a2c6-7f0e9b3d8a21:fx");
  set(u"Engines", u"Apertium", u"localhost");
  set(u"General", u"Google", u"0");
  set(u"General", u"DeepL", u"1");
  TForm1& f = create();
  QAction* deepl = f.EngineItem(translate::kDeepL);
  ASSERT_NE(deepl, nullptr);
  const QList<QAction*> items = f.PopupMenu1->actions();
  EXPECT_EQ(items.indexOf(deepl), items.indexOf(f.EngineItem(translate::kApertium)) + 1);
  EXPECT_EQ(items.indexOf(f.N4), items.indexOf(deepl) + 1);
  EXPECT_EQ(text(deepl), u"DeepL");
  EXPECT_TRUE(deepl->isChecked());
  EXPECT_EQ(deepl->icon().pixmap(16).toImage(), f.sAlphaImageList1.Pixmap(TImageList::kDeepL).toImage());
  EXPECT_EQ(f.TrayIcon->IconIndex(), TImageList::kDeepL);
  f.P1->trigger();
  deepl->trigger();
  EXPECT_FALSE(f.P1->isChecked());
  f.N5->trigger();
  ASSERT_EQ(settings->Writes.size(), 9u);
  EXPECT_EQ(settings->Writes[6], u"General/Apertium=0");
  EXPECT_EQ(settings->Writes[7], u"General/DeepL=1");
  EXPECT_TRUE(errors.empty());
}

TEST_F(FormTest, DeepLsHostWithoutItsKeyAddsNothing) {
  set(u"Engines", u"DeepL", u"127.0.0.1:9");
  set(u"General", u"DeepL", u"1");
  TForm1& f = create();
  EXPECT_EQ(f.EngineItem(translate::kDeepL), nullptr);
  EXPECT_EQ(f.PopupMenu1->actions().size(), 16);
  EXPECT_TRUE(f.G1->isChecked());
  f.N5->trigger();
  EXPECT_EQ(settings->Writes.size(), 7u) << "no check mark of its own is written";
  EXPECT_TRUE(errors.empty());
}

TEST_F(FormTest, AnUnusableSelfHostedHostIsReportedAndAddsNoItem) {
  set(u"Engines", u"LibreTranslate", u"http://lt.local/path");
  TForm1& f = create();
  EXPECT_EQ(f.EngineItem(translate::kLibreTranslate), nullptr);
  EXPECT_EQ(errors, std::vector<std::u16string>{u"Invalid engine host: http://lt.local/path."});
  EXPECT_EQ(f.OnCaption, u"Включено");  // the rest of start-up ran
}

TEST_F(FormTest, AnUnusableHostCostsOnlyItsOwnEngine) {
  set(u"Engines", u"LibreTranslate", u"lt.local:0");
  set(u"Engines", u"Apertium", u"localhost");
  TForm1& f = create();
  EXPECT_EQ(f.EngineItem(translate::kLibreTranslate), nullptr);
  EXPECT_NE(f.EngineItem(translate::kApertium), nullptr);
  EXPECT_EQ(errors, std::vector<std::u16string>{u"Invalid engine host: lt.local:0."});
}

TEST_F(FormTest, TheCacheFromTheSettingsAnswersARepeatWithoutTheEngine) {
  test_support::TempDir folder;
  set(u"Cache", u"Enabled", u"1");
  set(u"Cache", u"Persist", u"1");
  set(u"Cache", u"MaxEntries", u"none");
  set(u"Failover", u"Enabled", u"1");
  set(u"Failover", u"Order", u"Bing, Nowhere");
  TForm1Options options;
  options.OpenSettings = [this] { return std::make_unique<FakeIniFile>(settings); };
  options.Terminate = [] {};
  options.ListenForTesting = std::make_pair(std::u16string(u"127.0.0.1"), uint16_t{0});
  options.UpstreamForTesting = &upstream;
  options.AbortUpstreamForTesting = [this] { upstream.Abort(); };
  options.CacheDatabase = (folder.Path() / "translations.sqlite").string();
  form = std::make_unique<TForm1>(std::move(options));
  TForm1& f = *form;
  f.N6->trigger();
  ASSERT_TRUE(f.IdHTTPServer1.Active());
  EXPECT_EQ(Ask(f.ListeningPort(), "Hello"), "HTTP/1.1 200 OK");
  EXPECT_EQ(Ask(f.ListeningPort(), "Hello"), "HTTP/1.1 200 OK");
  EXPECT_EQ(upstream.Calls(), 1);
  EXPECT_TRUE(std::filesystem::exists(folder.Path() / "translations.sqlite"));
  ASSERT_TRUE(ProcessEventsUntil([&] {
    f.sMemo1->FlushPending();  // the window is hidden: its lines wait until it is shown
    return f.sMemo1->toPlainText().contains(QStringLiteral("Google (cache)"));
  }));
  const QString log = f.sMemo1->toPlainText();
  EXPECT_TRUE(log.contains(QStringLiteral("Cache: MaxEntries=none is not a positive number; 10000 is used")));
  EXPECT_TRUE(log.contains(QStringLiteral("Failover: unknown engine \"Nowhere\" in Order is skipped")));
  EXPECT_TRUE(errors.empty());
}

TEST_F(FormTest, ApertiumsCallsRunSideBySideAndSwitchingOffEndsThemAll) {
  test_support::ScriptedServer apertium;
  // Answers that would come after 10 s: a call left running fails the time check below instead of hanging.
  for (int i = 0; i < 3; ++i)
    apertium.Push(
        test_support::ScriptedServer::Reply{.Bytes = "HTTP/1.1 503 Late\r\n\r\n", .Delay = std::chrono::seconds(10)});
  set(u"Engines", u"Apertium", u"127.0.0.1:" + IntToStr(apertium.Port()));
  set(u"General", u"Google", u"0");
  set(u"General", u"Apertium", u"1");
  TForm1Options options;
  options.OpenSettings = [this] { return std::make_unique<FakeIniFile>(settings); };
  options.Terminate = [] {};
  options.ListenForTesting = std::make_pair(std::u16string(u"127.0.0.1"), uint16_t{0});
  form = std::make_unique<TForm1>(std::move(options));
  TForm1& f = *form;
  f.N6->trigger();
  ASSERT_TRUE(f.IdHTTPServer1.Active());
  const uint16_t port = f.ListeningPort();

  std::vector<std::thread> clients;
  for (int i = 0; i < 3; ++i) clients.emplace_back([port] { Ask(port, "hang"); });
  EXPECT_TRUE(apertium.WaitForRequests(3)) << "the three calls reached the service together";
  const auto begin = std::chrono::steady_clock::now();
  f.N6->trigger();  // off: returns once every worker has ended
  EXPECT_FALSE(f.IdHTTPServer1.Active());
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
  for (std::thread& client : clients) client.join();

  const std::string json = "{\"responseData\": {\"translatedText\": \"Hola\"}}";
  apertium.Push("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(json.size()) +
                "\r\n\r\n" + json);
  f.N6->trigger();
  ASSERT_TRUE(f.IdHTTPServer1.Active());
  EXPECT_EQ(Ask(f.ListeningPort(), "Hello"), "HTTP/1.1 200 OK") << "the pool's clients work again";
  EXPECT_TRUE(errors.empty());
}

}  // namespace
}  // namespace tessarine::ui::testing
