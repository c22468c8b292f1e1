// The optional parts as the core sets them up: the self-hosted engines' menu items and check marks, the cache and
// failover switched on from the settings, and Apertium's calls through the pool.

#include <chrono>
#include <filesystem>
#include <thread>

#include "core_fixture.h"
#include "support/raw_socket.h"
#include "support/scripted_server.h"
#include "support/test_certificates.h"

namespace tessarine::shell::testing {
namespace {

std::string Ask(uint16_t port, const std::string& text) {
  test_support::RawSocket socket = test_support::RawConnectTo(AF_INET, port);
  socket.Send("GET /linxp_translate_t?text=" + text + "&langpair=en|de HTTP/1.0\r\n\r\n");
  const std::string answer = socket.Receive(SIZE_MAX, test_support::kWaitLimit);
  return answer.substr(0, answer.find("\r\n"));
}

// The item's place in the menu.
size_t IndexOf(const TProxyCore& core, const TMenuItem* item) {
  for (size_t i = 0; i < core.PopupMenu1.Count(); ++i)
    if (&core.PopupMenu1.Item(i) == item) return i;
  return SIZE_MAX;
}

// What Exit writes with the server off, no built-in engine chosen and the one optional engine's line.
std::vector<std::u16string> ExitWritesWithOptional(const std::u16string& optionalLine) {
  return {u"General/ProxyActive=0", u"General/Google=0", u"General/Bing=0", u"General/Yandex=0",
          u"General/Babylon=0",     u"General/Promt=0",  optionalLine,      u"Setting/Language=Русский"};
}

TEST_F(CoreTest, WithoutItsHostTheSelfHostedEngineIsNowhere) {
  TProxyCore& c = create();
  EXPECT_EQ(c.EngineItem(translate::kLibreTranslate), nullptr);
  EXPECT_EQ(c.PopupMenu1.Count(), 16u);
  EXPECT_EQ(c.EngineChoice().AllItems().size(), 6u);
  c.N5->Click();
  EXPECT_EQ(settings->Writes, (std::vector<std::u16string>{u"General/ProxyActive=0", u"General/Google=1",
                                                           u"General/Bing=0", u"General/Yandex=0", u"General/Babylon=0",
                                                           u"General/Promt=0", u"Setting/Language=Русский"}));
}

TEST_F(CoreTest, AConfiguredSelfHostedEngineFollowsPromtAndKeepsItsCheckMark) {
  set(u"Engines", u"LibreTranslate", u"127.0.0.1:5000");
  set(u"General", u"Google", u"0");
  set(u"General", u"LibreTranslate", u"1");
  TProxyCore& c = create();
  TMenuItem* libre = c.EngineItem(translate::kLibreTranslate);
  ASSERT_NE(libre, nullptr);
  ASSERT_EQ(c.PopupMenu1.Count(), 17u);
  EXPECT_EQ(IndexOf(c, libre), IndexOf(c, c.P1) + 2);  // the hidden S1 between them
  EXPECT_EQ(IndexOf(c, c.N4), IndexOf(c, libre) + 1);
  EXPECT_EQ(libre->Caption(), u"LibreTranslate");
  EXPECT_EQ(libre->Picture(), "online");
  EXPECT_TRUE(libre->Visible() && libre->Checkable());
  EXPECT_TRUE(libre->Checked());
  EXPECT_FALSE(c.G1->Checked());
  EXPECT_EQ(c.TrayPicture(), "online") << "its picture from the start";

  c.B1->Click();
  EXPECT_FALSE(libre->Checked());
  for (int repeat = 0; repeat < 2; ++repeat) {
    libre->Click();
    EXPECT_TRUE(libre->Checked());
    EXPECT_FALSE(c.B1->Checked());
    EXPECT_TRUE(c.EngineChoice().AllItems()[translate::kLibreTranslate].Checked);
    EXPECT_EQ(c.TrayPicture(), "online");
  }
  c.N5->Click();
  EXPECT_EQ(settings->Writes, ExitWritesWithOptional(u"General/LibreTranslate=1"));
  EXPECT_TRUE(errors.empty());
}

TEST_F(CoreTest, ApertiumAloneFollowsPromtWithItsOwnPicture) {
  set(u"Engines", u"Apertium", u"localhost");
  set(u"General", u"Google", u"0");
  set(u"General", u"Apertium", u"1");
  set(u"General", u"LibreTranslate", u"1");  // not configured: read by nobody, written by nobody
  TProxyCore& c = create();
  TMenuItem* apertium = c.EngineItem(translate::kApertium);
  ASSERT_NE(apertium, nullptr);
  EXPECT_EQ(c.EngineItem(translate::kLibreTranslate), nullptr);
  ASSERT_EQ(c.PopupMenu1.Count(), 17u);
  EXPECT_EQ(IndexOf(c, apertium), IndexOf(c, c.P1) + 2);
  EXPECT_EQ(apertium->Caption(), u"Apertium");
  EXPECT_TRUE(apertium->Checked());
  EXPECT_EQ(apertium->Picture(), "apertium");
  EXPECT_EQ(c.TrayPicture(), "apertium") << "its picture from the start";

  c.Y1->Click();
  EXPECT_FALSE(apertium->Checked());
  apertium->Click();
  EXPECT_TRUE(apertium->Checked());
  EXPECT_FALSE(c.Y1->Checked());
  EXPECT_EQ(c.TrayPicture(), "apertium");
  c.N5->Click();
  EXPECT_EQ(settings->Writes, ExitWritesWithOptional(u"General/Apertium=1"));
  EXPECT_TRUE(errors.empty());
}

TEST_F(CoreTest, BothOptionalEnginesInTableOrderEachWithItsCheckMark) {
  set(u"Engines", u"Apertium", u"127.0.0.1:2737");
  set(u"Engines", u"LibreTranslate", u"127.0.0.1:5000");
  TProxyCore& c = create();
  TMenuItem* libre = c.EngineItem(translate::kLibreTranslate);
  TMenuItem* apertium = c.EngineItem(translate::kApertium);
  ASSERT_TRUE(libre && apertium);
  EXPECT_EQ(IndexOf(c, libre), IndexOf(c, c.P1) + 2);
  EXPECT_EQ(IndexOf(c, apertium), IndexOf(c, libre) + 1);
  EXPECT_EQ(IndexOf(c, c.N4), IndexOf(c, apertium) + 1);
  EXPECT_TRUE(c.G1->Checked());
  EXPECT_FALSE(libre->Checked() || apertium->Checked());

  apertium->Click();
  EXPECT_FALSE(libre->Checked() || c.G1->Checked());
  libre->Click();
  EXPECT_FALSE(apertium->Checked());
  EXPECT_EQ(c.TrayPicture(), "online");
  c.N5->Click();
  ASSERT_EQ(settings->Writes.size(), 9u);
  EXPECT_EQ(settings->Writes[6], u"General/LibreTranslate=1");
  EXPECT_EQ(settings->Writes[7], u"General/Apertium=0");
}

TEST_F(CoreTest, DeepLWithItsKeyFollowsTheOthersWithItsOwnPictureAndCheckMark) {
  set(u"Engines", u"DeepLKey", u"0d5e3f2a-93b7-4d1e-a2c6-7f0e9b3d8a21:fx");
  set(u"Engines", u"Apertium", u"localhost");
  set(u"General", u"Google", u"0");
  set(u"General", u"DeepL", u"1");
  TProxyCore& c = create();
  TMenuItem* deepl = c.EngineItem(translate::kDeepL);
  ASSERT_NE(deepl, nullptr);
  EXPECT_EQ(IndexOf(c, deepl), IndexOf(c, c.EngineItem(translate::kApertium)) + 1);
  EXPECT_EQ(IndexOf(c, c.N4), IndexOf(c, deepl) + 1);
  EXPECT_EQ(deepl->Caption(), u"DeepL");
  EXPECT_TRUE(deepl->Checked());
  EXPECT_EQ(deepl->Picture(), "deepl");
  EXPECT_EQ(c.TrayPicture(), "deepl");
  c.P1->Click();
  deepl->Click();
  EXPECT_FALSE(c.P1->Checked());
  c.N5->Click();
  ASSERT_EQ(settings->Writes.size(), 9u);
  EXPECT_EQ(settings->Writes[6], u"General/Apertium=0");
  EXPECT_EQ(settings->Writes[7], u"General/DeepL=1");
  EXPECT_TRUE(errors.empty());
}

TEST_F(CoreTest, AKeyNamedForPlainHttpToAnotherMachineIsWarnedOfOnStarting) {
  set(u"Engines", u"DeepLKey", u"0d5e3f2a-93b7-4d1e-a2c6-7f0e9b3d8a21");
  set(u"Engines", u"DeepL", u"http://deepl.example:8080");
  set(u"Engines", u"LibreTranslate", u"http://[::1]:5000");
  set(u"Engines", u"LibreTranslateKey", u"local-key-1234");
  TProxyCore& c = create();
  EXPECT_NE(c.EngineItem(translate::kDeepL), nullptr) << "it stays, and its requests say why they fail";
  EXPECT_EQ(logged(),
            u"DeepL: its key is not sent over plain http to deepl.example:8080; every request to it fails "
            u"until [Engines] DeepL names the server with https://\n");
}

TEST_F(CoreTest, DeepLsHostWithoutItsKeyAddsNothing) {
  set(u"Engines", u"DeepL", u"127.0.0.1:9");
  set(u"General", u"DeepL", u"1");
  TProxyCore& c = create();
  EXPECT_EQ(c.EngineItem(translate::kDeepL), nullptr);
  EXPECT_EQ(c.PopupMenu1.Count(), 16u);
  EXPECT_TRUE(c.G1->Checked());
  c.N5->Click();
  EXPECT_EQ(settings->Writes.size(), 7u) << "no check mark of its own is written";
  EXPECT_TRUE(errors.empty());
}

TEST_F(CoreTest, AnUnusableSelfHostedHostIsReportedAndAddsNoItem) {
  set(u"Engines", u"LibreTranslate", u"http://lt.local/path");
  TProxyCore& c = create();
  EXPECT_EQ(c.EngineItem(translate::kLibreTranslate), nullptr);
  EXPECT_EQ(errors, std::vector<std::u16string>{u"Invalid engine host: http://lt.local/path."});
  EXPECT_EQ(c.OnCaption, u"Включено");  // the rest of start-up ran
}

TEST_F(CoreTest, AnUnusableHostCostsOnlyItsOwnEngine) {
  set(u"Engines", u"LibreTranslate", u"lt.local:0");
  set(u"Engines", u"Apertium", u"localhost");
  TProxyCore& c = create();
  EXPECT_EQ(c.EngineItem(translate::kLibreTranslate), nullptr);
  EXPECT_NE(c.EngineItem(translate::kApertium), nullptr);
  EXPECT_EQ(errors, std::vector<std::u16string>{u"Invalid engine host: lt.local:0."});
}

TEST_F(CoreTest, TheCacheFromTheSettingsAnswersARepeatWithoutTheEngine) {
  test_support::TempDir folder;
  set(u"Cache", u"Enabled", u"1");
  set(u"Cache", u"Persist", u"1");
  set(u"Cache", u"MaxEntries", u"none");
  set(u"Failover", u"Enabled", u"1");
  set(u"Failover", u"Order", u"Bing, Nowhere");
  TProxyCoreOptions withCache = options();
  withCache.CacheDatabase = (folder.Path() / "translations.sqlite").string();
  TProxyCore& c = create(std::move(withCache));
  c.N6->Click();
  ASSERT_TRUE(c.IdHTTPServer1.Active());
  EXPECT_EQ(Ask(c.ListeningPort(), "Hello"), "HTTP/1.1 200 OK");
  EXPECT_EQ(Ask(c.ListeningPort(), "Hello"), "HTTP/1.1 200 OK");
  EXPECT_EQ(upstream.Calls(), 1);
  EXPECT_TRUE(std::filesystem::exists(folder.Path() / "translations.sqlite"));
  ASSERT_TRUE(test_support::WaitFor([&] { return logged().find(u"Google (cache)") != std::u16string::npos; }));
  const std::u16string log = logged();
  EXPECT_NE(log.find(u"Cache: MaxEntries=none is not a positive number; 10000 is used"), std::u16string::npos);
  EXPECT_NE(log.find(u"Failover: unknown engine \"Nowhere\" in Order is skipped"), std::u16string::npos);
  EXPECT_TRUE(errors.empty());
}

TEST_F(CoreTest, ApertiumsCallsRunSideBySideAndSwitchingOffEndsThemAll) {
  test_support::ScriptedServer apertium;
  // Answers that would come after 10 s: a call left running fails the time check below instead of hanging.
  for (int i = 0; i < 3; ++i)
    apertium.Push(
        test_support::ScriptedServer::Reply{.Bytes = "HTTP/1.1 503 Late\r\n\r\n", .Delay = std::chrono::seconds(10)});
  set(u"Engines", u"Apertium", u"127.0.0.1:" + IntToStr(apertium.Port()));
  set(u"General", u"Google", u"0");
  set(u"General", u"Apertium", u"1");
  TProxyCoreOptions realClients = options();
  realClients.UpstreamForTesting = nullptr;
  realClients.AbortUpstreamForTesting = nullptr;
  TProxyCore& c = create(std::move(realClients));
  c.N6->Click();
  ASSERT_TRUE(c.IdHTTPServer1.Active());
  const uint16_t port = c.ListeningPort();

  std::vector<std::thread> clients;
  for (int i = 0; i < 3; ++i) clients.emplace_back([port] { Ask(port, "hang"); });
  EXPECT_TRUE(apertium.WaitForRequests(3)) << "the three calls reached the service together";
  const auto begin = std::chrono::steady_clock::now();
  c.N6->Click();  // off: returns once every worker has ended
  EXPECT_FALSE(c.IdHTTPServer1.Active());
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
  for (std::thread& client : clients) client.join();

  const std::string json = "{\"responseData\": {\"translatedText\": \"Hola\"}}";
  apertium.Push("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(json.size()) +
                "\r\n\r\n" + json);
  c.N6->Click();
  ASSERT_TRUE(c.IdHTTPServer1.Active());
  EXPECT_EQ(Ask(c.ListeningPort(), "Hello"), "HTTP/1.1 200 OK") << "the pool's clients work again";
  EXPECT_TRUE(errors.empty());
}

}  // namespace
}  // namespace tessarine::shell::testing
