// The optional parts over the whole road: the self-hosted engine, DeepL through a pool, failover on a throttling
// engine that asks for a pause, and the cache, with the real client and the fake engines on loopback.

#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "common/text.h"
#include "net/client/http_client.h"
#include "net/client/upstream_pool.h"
#include "net/server/http_server.h"
#include "support/fake_engine.h"
#include "support/translation_endpoint.h"
#include "translate/babylon_table.h"
#include "translate/engine_choice.h"
#include "translate/engine_hosts.h"
#include "translate/translation_service.h"

namespace tessarine {
namespace {

using test_support::FakeEngine;
using test_support::Json;

using test_support::kWrapperHead;
using test_support::kWrapperTail;
using test_support::NullLog;
using test_support::Wrapped;

class ExtrasEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_fake = new FakeEngine(); }
  static void TearDownTestSuite() { delete s_fake; }

  ExtrasEndToEnd() {
    choice.AddOptionalEngine(translate::kLibreTranslate, false);
    choice.AddOptionalEngine(translate::kDeepL, false);
    s_fake->Reset();
  }
  ~ExtrasEndToEnd() override {
    if (server.Active()) server.SetActive(false);
  }

  void start(bool cache, bool failover, bool protect = false) {
    translate::TEngineHosts hosts;
    for (int engine = 0; engine < translate::kEngineCount; ++engine) hosts.SetHost(engine, Widen(s_fake->HttpHost()));
    translate::TServiceExtras extras;
    extras.Endpoints[translate::kLibreTranslate] = translate::TEngineEndpoint::Parse(Widen(s_fake->HttpHost()), u"k");
    extras.Endpoints[translate::kDeepL] = translate::TEngineEndpoint::Parse(u"http://" + Widen(s_fake->HttpHost()),
                                                                            kDeepLKey, 0, {.HttpsByDefault = true});
    extras.Pool = &pool;
    if (cache) extras.Cache = std::make_unique<translate::TTranslationCache>(translate::TCacheSettings{}, log);
    if (failover) extras.Failover = translate::TFailoverSettings{{translate::kBing, translate::kLibreTranslate}, 3};
    if (protect) extras.Protection = translate::TProtectSettings{};
    extras.RestClock = [this] { return steady.load(); };
    service = std::make_unique<translate::TTranslationService>(client, log, choice, babylon, hosts, std::move(extras));
    test_support::ServeOnLoopback(server,
                                  [this](server::TIdHTTPRequestInfo& request, server::TIdHTTPResponseInfo& response) {
                                    service->IdHTTPServer1CommandGet(request, response);
                                  });
  }

  std::string Ask(std::string_view query) { return test_support::AskEndpoint(server.Bindings()[0].Port(), query); }
  static std::vector<std::string> RequestLines() {
    std::vector<std::string> lines;
    const Json requests = s_fake->Requests();
    for (size_t i = 0; i < requests.size(); ++i) lines.push_back(requests[i]["request_line"].text);
    return lines;
  }

  static constexpr char16_t kDeepLKey[] = u"0d5e3f2a-93b7-4d1e-a2c6-7f0e9b3d8a21:fx";
  static inline FakeEngine* s_fake = nullptr;
  std::atomic<int64_t> steady{0};
  client::TIdHTTP client;
  client::TUpstreamPool pool;
  NullLog log;
  translate::TEngineChoice choice;
  translate::TBabylonTable babylon;
  std::unique_ptr<translate::TTranslationService> service;
  server::TIdHTTPServer server;
};

TEST_F(ExtrasEndToEnd, TheSelfHostedEngineGetsJsonAndItsTranslationReachesTheClientAsUtf8) {
  start(false, false);
  choice.SetChecked(translate::kLibreTranslate);
  EXPECT_EQ(Ask("text=%D0%9F%D1%80%D0%B8%D0%B2%D0%B5%D1%82%20%22x%22&langpair=ru|en"),
            Wrapped("en: \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \"X\""));
  const Json requests = s_fake->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["request_line"].text, "POST /translate HTTP/1.0");
  std::vector<std::string> headers;
  for (const Json& line : requests[0]["headers"].items) headers.push_back(line.text);
  EXPECT_NE(std::find(headers.begin(), headers.end(), "Content-Type: application/json"), headers.end());
  EXPECT_EQ(test_support::Base64Decode(requests[0]["body_b64"].text),
            "{\"q\":\"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \\\"x\\\"\",\"source\":\"ru\",\"target\":\"en\","
            "\"format\":\"text\",\"api_key\":\"k\"}");
  // Declared in an 8-bit charset other than Latin-1, the JSON is decoded by it and still reaches the client as UTF-8.
  s_fake->SetMode(R"({"engine": "libretranslate", "mode": "charset", "value": "application/json; charset=windows-1251",
      "times": 1})");
  EXPECT_EQ(Ask("text=%C2%AB%D0%9F%C2%BB&langpair=ru|en"), Wrapped("en: \xC2\xAB\xD0\x9F\xC2\xBB"));
  // An answer that is not its JSON is an engine failure, the error answer without failover.
  s_fake->SetMode(R"({"engine": "libretranslate", "mode": "status", "code": 200, "body": "<html>busy</html>"})");
  EXPECT_EQ(Ask("text=a&langpair=en|de"), "HTTP/1.1 500 Internal Server Error|LibreTranslate: the reply is not JSON");
}

TEST_F(ExtrasEndToEnd, TheKeyIsNotSentWhereARedirectPointsAndTheNextEngineAnswers) {
  start(false, true);
  choice.SetChecked(translate::kLibreTranslate);
  s_fake->SetMode(
      R"({"engine": "libretranslate", "mode": "redirect", "status": 307, "location": "http://localhost:1/translate"})");
  s_fake->SetMode(R"({"engine": "bing", "mode": "status", "code": 503})");
  EXPECT_EQ(Ask("text=a&langpair=en|de"),
            "HTTP/1.1 500 Internal Server Error|LibreTranslate: the reply redirects to another host (localhost); a "
            "request with a key is not sent there");
  EXPECT_EQ(RequestLines().size(), 2u);
  // With Bing answering, the failover goes on past the withheld request.
  s_fake->Reset();
  s_fake->SetMode(
      R"({"engine": "libretranslate", "mode": "redirect", "status": 308, "location": "https://localhost:1/"})");
  steady += 60 * 60'000;
  EXPECT_EQ(Ask("text=b&langpair=en|de"), Wrapped("de: B"));
  EXPECT_EQ(RequestLines().size(), 2u);
  EXPECT_EQ(RequestLines()[0], "POST /translate HTTP/1.0");
}

TEST_F(ExtrasEndToEnd, DeepLGetsItsKeyInItsHeaderAndItsWaitingRequestsGoOutTogether) {
  start(false, false);
  choice.SetChecked(translate::kDeepL);
  EXPECT_EQ(Ask("text=Hello%20%C3%A9&langpair=en|zh-TW"), Wrapped("ZH-HANT: HELLO \xC3\xA9"));
  const Json requests = s_fake->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["request_line"].text, "POST /v2/translate HTTP/1.0");
  std::vector<std::string> headers;
  for (const Json& line : requests[0]["headers"].items) headers.push_back(line.text);
  EXPECT_NE(std::find(headers.begin(), headers.end(), "Authorization: DeepL-Auth-Key " + ToUtf8(kDeepLKey)),
            headers.end());
  EXPECT_EQ(test_support::Base64Decode(requests[0]["body_b64"].text),
            "{\"text\":[\"Hello \xC3\xA9\"],\"source_lang\":\"EN\",\"target_lang\":\"ZH-HANT\"}");

  // Eight at once against calls that take 300 ms: while four run, the others wait together for the next.
  s_fake->Reset();
  s_fake->SetMode(R"({"engine": "deepl", "mode": "stall", "seconds": 0.3})");
  std::vector<std::future<std::string>> answers;
  for (int i = 0; i < 8; ++i) {
    answers.push_back(
        std::async(std::launch::async, [this, i] { return Ask("text=w" + std::to_string(i) + "&langpair=en|de"); }));
  }
  for (int i = 0; i < 8; ++i) EXPECT_EQ(answers[static_cast<size_t>(i)].get(), Wrapped("DE: W" + std::to_string(i)));
  EXPECT_LT(RequestLines().size(), 8u);
  EXPECT_LE(pool.Made(), 4u);

  // Refusals in DeepL's words, and from the status when the body is empty.
  s_fake->SetMode(R"({"engine": "deepl", "mode": "status", "code": 456, "content_type": "application/json",
      "body": "{\"message\":\"Quota exceeded\"}", "times": 1})");
  EXPECT_EQ(Ask("text=a&langpair=en|de"), "HTTP/1.1 500 Internal Server Error|DeepL: Quota exceeded");
  s_fake->SetMode(R"({"engine": "deepl", "mode": "status", "code": 429, "times": 1})");
  EXPECT_EQ(Ask("text=a&langpair=en|de"), "HTTP/1.1 500 Internal Server Error|DeepL: too many requests (429)");
}

TEST_F(ExtrasEndToEnd, WithFailoverDeepLsQuotaRestsItTheLongest) {
  start(false, true);
  choice.SetChecked(translate::kDeepL);
  s_fake->SetMode(R"({"engine": "deepl", "mode": "status", "code": 456, "content_type": "application/json",
      "body": "{\"message\":\"Quota exceeded\"}", "times": 1})");
  EXPECT_EQ(Ask("text=a&langpair=en|de"), Wrapped("de: A"));
  s_fake->Reset();
  EXPECT_EQ(Ask("text=b&langpair=en|de"), Wrapped("de: B")) << "Bing, while DeepL rests";
  steady += 15 * 60'000 - 1;
  EXPECT_EQ(Ask("text=c&langpair=en|de"), Wrapped("de: C"));
  for (const std::string& line : RequestLines()) EXPECT_EQ(line.find("/v2/translate"), std::string::npos);
  steady += 1;
  s_fake->SetMode(R"({"engine": "deepl", "mode": "status", "code": 429, "times": 1})");
  EXPECT_EQ(Ask("text=d&langpair=en|de"), Wrapped("de: D"));
  // The second failure since its last success: twice the first rest.
  steady += 2 * 60'000;
  EXPECT_EQ(Ask("text=e&langpair=en|de"), Wrapped("DE: E"));
}

TEST_F(ExtrasEndToEnd, AThrottlingEngineHandsOverAndRestsAsLongAsItAsked) {
  start(false, true);
  choice.SetChecked(translate::kGoogle);
  s_fake->SetMode(
      R"({"engine": "google", "mode": "status", "code": 429, "reason": "Too Many Requests", "headers": ["Retry-After: 600"]})");
  s_fake->SetMode(R"({"engine": "bing", "mode": "garbage", "bytes": "nonsense"})");
  EXPECT_EQ(Ask("text=a&langpair=en|de"), Wrapped("de: A"));
  EXPECT_EQ(RequestLines().size(), 3u);  // Google, Bing, LibreTranslate
  EXPECT_EQ(RequestLines()[2], "POST /translate HTTP/1.0");
  s_fake->Reset();
  steady += 2 * 60'000;  // Bing has rested its 60 s; Google asked for 600
  EXPECT_EQ(Ask("text=b&langpair=en|de"), Wrapped("de: B"));
  ASSERT_EQ(RequestLines().size(), 1u);
  EXPECT_EQ(RequestLines()[0].rfind("GET /v2/ajax.svc/Translate?", 0), 0u);
  steady += 9 * 60'000;
  EXPECT_EQ(Ask("text=c&langpair=en|de"), Wrapped("de: C"));
  EXPECT_EQ(RequestLines().back().rfind("GET /translate_a/t?", 0), 0u);
}

TEST_F(ExtrasEndToEnd, EveryEngineFailingGivesTheFirstError) {
  start(false, true);
  choice.SetChecked(translate::kGoogle);
  s_fake->SetMode(R"({"mode": "status", "code": 503, "reason": "Busy"})");
  EXPECT_EQ(Ask("text=a&langpair=en|de"), "HTTP/1.1 500 Internal Server Error|HTTP/1.1 503 Busy");
  EXPECT_EQ(RequestLines().size(), 3u);
}

TEST_F(ExtrasEndToEnd, ARepeatComesFromTheCache) {
  start(true, false);
  choice.SetChecked(translate::kGoogle);
  EXPECT_EQ(Ask("text=a&langpair=en|de"), Wrapped("de: A"));
  EXPECT_EQ(Ask("text=a&langpair=en|de"), Wrapped("de: A"));
  EXPECT_EQ(RequestLines().size(), 1u);
}

TEST_F(ExtrasEndToEnd, ProtectedPiecesReachEachStandInAsItsTokensAndWhatItDamagesFailsOver) {
  start(false, true, true);
  // "Open %s & <b>{0}</b>": the stand-ins upper-case everything but the tokens. (Yandex, https only, takes the
  // bracketed tokens as Google does.)
  const std::string query = "text=Open%20%25s%20%26%20%3Cb%3E%7B0%7D%3C%2Fb%3E&langpair=en|de";
  const std::string translation = "OPEN %s & <b>{0}</b>";
  const std::pair<int, std::string> onTheWire[] = {
      {translate::kGoogle, "%5BX1X%5D%20%26%20%5BX2X%5D"},
      {translate::kBing, "%5BX1X%5D%20%26%20%5BX2X%5D"},
      {translate::kBabylon, "%5BX1X%5D%20%26%20%5BX2X%5D"},
      {translate::kPromt, "%5BX1X%5D%20%26%20%5BX2X%5D"},
      {translate::kSystran, "<x id=\"1\"/> &amp; <x id=\"2\"/>"},
      {translate::kLibreTranslate,
       R"(<x id=\"1\"></x> &amp; <x id=\"2\"></x>","source":"en","target":"de","format":"html")"},
      {translate::kDeepL,
       R"(<x id=\"1\"></x> &amp; <x id=\"2\"></x>"],"source_lang":"EN","target_lang":"DE","tag_handling":"xml",)"
       R"("ignore_tags":["x"]})"},
  };
  for (const auto& [engine, tokens] : onTheWire) {
    SCOPED_TRACE(engine);
    s_fake->Reset();
    choice.SetChecked(engine);
    const std::string target = engine == translate::kBabylon ? ToUtf8(babylon.BabylonLangId(u"de"))
                               : engine == translate::kDeepL ? "DE"
                                                             : "de";
    EXPECT_EQ(Ask(query), Wrapped(target + ": " + translation));
    const Json requests = s_fake->Requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string sent =
        requests[0]["request_line"].text + test_support::Base64Decode(requests[0]["body_b64"].text);
    EXPECT_NE(sent.find(tokens), std::string::npos) << sent;
  }

  choice.SetChecked(translate::kGoogle);
  s_fake->Reset();
  s_fake->SetMode(R"({"engine": "google", "mode": "damage-tokens", "how": "drop"})");
  EXPECT_EQ(Ask(query), Wrapped("de: " + translation));
  EXPECT_EQ(RequestLines()[1].rfind("GET /v2/ajax.svc/Translate?", 0), 0u);
  // Every engine damaging it: the chosen one's failure is the answer, and a reordering is no damage.
  const std::pair<std::string, std::string> damages[] = {
      {"drop", "%s missing"}, {"duplicate", "%s duplicated"}, {"translate", "%s missing"}};
  s_fake->Reset();
  for (const auto& [how, problem] : damages) {
    s_fake->SetMode(R"({"mode": "damage-tokens", "how": ")" + how + R"("})");
    EXPECT_EQ(Ask(query), "HTTP/1.1 500 Internal Server Error|Placeholders changed by Google: " + problem);
  }
  s_fake->SetMode(R"({"mode": "damage-tokens", "how": "move"})");
  EXPECT_EQ(Ask(query), Wrapped("de: OPEN <b>{0}</b> & %s"));
}

}  // namespace
}  // namespace tessarine
