// The whole road of a translation: a local client asks the endpoint on loopback, the endpoint calls the
// engine through the real upstream client, the fake engine server answers, and the translation comes back in
// the reply wrapper. The fake records what each engine received.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>

#include "common/text.h"
#include "net/client/http_client.h"
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
using test_support::TestCertificates;

using test_support::kWrapperHead;
using test_support::kWrapperTail;
using test_support::NullLog;
using test_support::Wrapped;

// One fake engine (with its certificate authority) for the whole suite: starting Python costs time.
class EndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_certificates = new TestCertificates();
    // The https engine's certificate is signed by the test authority; trust it instead of the system's.
    ::setenv("SSL_CERT_FILE", s_certificates->File("ca.pem").c_str(), 1);
    s_fake = new FakeEngine(s_certificates);
  }
  static void TearDownTestSuite() {
    delete s_fake;
    delete s_certificates;
    ::unsetenv("SSL_CERT_FILE");
  }

  EndToEnd() : service(client, log, choice, babylon, Hosts()) {
    port = test_support::ServeOnLoopback(
        server, [this](server::TIdHTTPRequestInfo& request, server::TIdHTTPResponseInfo& response) {
          service.IdHTTPServer1CommandGet(request, response);
        });
    s_fake->Reset();
  }
  ~EndToEnd() override { server.SetActive(false); }

  static translate::TEngineHosts Hosts() {
    translate::TEngineHosts hosts;
    for (int engine = 0; engine < translate::kEngineCount; ++engine) {
      const std::string& host = engine == translate::kYandex ? s_fake->HttpsHost() : s_fake->HttpHost();
      hosts.SetHost(engine, Widen(host));
    }
    return hosts;
  }

  // The endpoint's answer body to a translation request.
  std::string Ask(std::string_view query) const { return test_support::AskEndpoint(port, query); }

  static inline TestCertificates* s_certificates = nullptr;
  static inline FakeEngine* s_fake = nullptr;

  client::TIdHTTP client;
  NullLog log;
  translate::TEngineChoice choice;
  translate::TBabylonTable babylon;
  translate::TTranslationService service;
  server::TIdHTTPServer server;
  uint16_t port = 0;
};

std::vector<std::string> Lines(const Json& headers) {
  std::vector<std::string> out;
  for (const Json& line : headers.items) out.push_back(line.text);
  return out;
}

TEST_F(EndToEnd, EveryEngineTranslatesThroughTheWholeRoad) {
  const std::string userAgent =
      "User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
      "Chrome/53.0.2785.116 Safari/537.36";
  const std::string host = s_fake->HttpHost();
  auto getHeaders = [&](const std::string& engineHost) {
    return std::vector<std::string>{"Proxy-Connection: NoProxy",
                                    "Host: " + engineHost,
                                    "Accept: text/html",
                                    "Accept-Charset: utf-8",
                                    "Accept-Encoding: identity, deflate, gzip",
                                    "Accept-Language: en-us",
                                    userAgent};
  };
  const std::string promtBody =
      "{ dirCode:'en-ru', template:'auto', text:'Hello%20world', lang:'ru', limit:3000,useAutoDetect:true, key:'', "
      "ts:'MainSite',tid:'',IsMobile:false}";
  const std::string systranBody = "<html><body>Hello world</body></html>";
  struct Case {
    int engine;
    std::string translation;
    std::string requestLine;
    std::vector<std::string> headers;
    std::string body;
  };
  const std::vector<Case> cases = {
      {translate::kGoogle, "ru: HELLO WORLD",
       "GET /translate_a/t?client=dict-chrome-ex&q=Hello%20world&sl=en&tl=ru&tbb=1&ie=UTF-8&oe=UTF-8 HTTP/1.1",
       getHeaders(host), ""},
      {translate::kBing, "ru: HELLO WORLD",
       "GET /v2/ajax.svc/Translate?&appId=5F19C0A7E2B84D3361A0C9F7E4D2B8A190C3E57B&from=en&to=ru&text=Hello%20world "
       "HTTP/1.1",
       getHeaders(host), ""},
      {translate::kYandex, "ru: HELLO WORLD",
       "GET /api/v1/tr.json/translate?id=3c8d1f70.2e4a9b61.7d05c3aa-0-0&srv=tr-text&lang=en-ru&reason=auto&text="
       "Hello%20world&options=4 HTTP/1.1",
       getHeaders(s_fake->HttpsHost()), ""},
      {translate::kBabylon, "7: HELLO WORLD",
       "GET /translate/babylon.php?v=1.0&q=Hello%20world&langpair=0%7C7&callback=babylonTranslator.callback&context="
       "babylon.7.0._babylon_api_response HTTP/1.1",
       getHeaders(host), ""},
      {translate::kPromt,
       "ru: HELLO WORLD",
       "POST /services/TranslationService.asmx/GetTranslateNew HTTP/1.0",
       {"Connection: keep-alive", "Content-Length: " + std::to_string(promtBody.size()),
        "Content-Type: application/json; charset=UTF-8", "Accept: text/html", "X-Requested-With: XMLHttpRequest",
        "Accept-Language: en-us", "DNT: 1", "Referer: http://" + host + "/", "Accept-Encoding: identity, deflate, gzip",
        "Accept-Language: ru-RU,ru;q=0.8,en-US;q=0.6,en;q=0.4",
        "Cookie: BrowserTypeTouch=desktop; UserParams=prmtULang=ru; LoggedUserParams=loggedOn=false&userLogin=&"
        "sessionID=&userName=&encodedUserName=&userSurname=; prmtULang=ru; tooltip=1; selDirText=selectedDir=ru-en&"
        "selectedTpl=auto&detectedTpl=General",
        "Proxy-Connection: NoProxy", "Host: " + host, "Accept-Charset: utf-8", userAgent},
       promtBody},
      {translate::kSystran,
       "ru: HELLO WORLD",
       "POST /sai?gui=WebUI&lp=ru_en&sessionid=27418096530172645&service=systranettranslate HTTP/1.0",
       {"Connection: keep-alive", "Content-Length: " + std::to_string(systranBody.size()),
        "Content-Type: application/x-www-form-urlencoded; charset=UTF-8", "Accept: text/html", "DNT: 1",
        "Referer: http://" + host + "/translate", "Accept-Encoding: identity, deflate, gzip", "Accept-Language: en-us",
        "Cookie: txtPop=0; lphistory=en_ru;", "Proxy-Connection: NoProxy", "Host: " + host, "Accept-Charset: utf-8",
        userAgent},
       systranBody},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.engine);
    choice.SetChecked(c.engine);
    EXPECT_EQ(Ask("text=Hello%20world&langpair=en|ru"), Wrapped(c.translation));
    const Json requests = s_fake->Requests();
    ASSERT_GT(requests.size(), 0u);
    const Json& last = requests[requests.size() - 1];
    EXPECT_EQ(last["request_line"].text, c.requestLine);
    EXPECT_EQ(Lines(last["headers"]), c.headers);
    EXPECT_EQ(test_support::Base64Decode(last["body_b64"].text), c.body);
    EXPECT_EQ(last["tls"].boolean, c.engine == translate::kYandex);
  }
}

TEST_F(EndToEnd, TheHttpsEngineSendsTheHostAsServerName) {
  choice.SetChecked(translate::kYandex);
  EXPECT_EQ(Ask("text=Hi&langpair=en|de"), Wrapped("de: HI"));
  const Json requests = s_fake->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(requests[0]["tls"].boolean);
  EXPECT_EQ(requests[0]["sni"].text, "127.0.0.1");
}

TEST_F(EndToEnd, NonAsciiTextTravelsAsUtf8BothWays) {
  choice.SetChecked(translate::kGoogle);
  // "Привет" percent-encoded as the localization suite sends it; the engine's UTF-8 reply passes through.
  EXPECT_EQ(Ask("text=%D0%9F%D1%80%D0%B8%D0%B2%D0%B5%D1%82&langpair=ru|en"),
            Wrapped("en: \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"));
  // "«Привет»" comes back as UTF-8 however the reply carries it: escaped, or in the charset it declares.
  const std::string utf8 = "\xC2\xAB\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82\xC2\xBB";
  for (const char* mode :
       {R"({"mode": "escaped"})", R"({"mode": "charset", "value": "application/json; charset=utf-8"})",
        R"({"mode": "charset", "value": "application/json; charset=windows-1251"})"}) {
    s_fake->SetMode(mode);
    EXPECT_EQ(Ask("text=%C2%AB%D0%9F%D1%80%D0%B8%D0%B2%D0%B5%D1%82%C2%BB&langpair=ru|en"), Wrapped("en: " + utf8))
        << mode;
  }
}

// User-interface strings hold quotes all the time: the escaped quote does not end the translation, and every
// JSON escape is undone.
TEST_F(EndToEnd, QuotesBackslashesAndLineBreaksComeBackWhole) {
  for (int engine : {translate::kGoogle, translate::kBing, translate::kYandex, translate::kBabylon, translate::kPromt,
                     translate::kSystran}) {
    choice.SetChecked(engine);
    EXPECT_EQ(Ask("text=Say%20%22Hi%22%20now%0ABack%5Cslash%09end&langpair=en|ru"),
              Wrapped(std::string(engine == translate::kBabylon ? "7" : "ru") + ": SAY \"HI\" NOW\nBACK\\SLASH\tEND"))
        << engine;
  }
}

TEST_F(EndToEnd, EngineConnectionsAreReusedForGetEngines) {
  choice.SetChecked(translate::kGoogle);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Ask("text=a&langpair=en|ru"), Wrapped("ru: A"));
  const Json requests = s_fake->Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0]["conn"].number, requests[2]["conn"].number);
}

TEST_F(EndToEnd, EngineFailuresBecomeTheEndpointsErrorAnswer) {
  choice.SetChecked(translate::kBing);
  s_fake->SetMode(R"({"engine": "bing", "mode": "status", "code": 503, "reason": "Busy", "body": "x", "times": 1})");
  const std::string answer = Ask("text=a&langpair=en|ru");
  EXPECT_EQ(answer.substr(0, answer.find('|')), "HTTP/1.1 500 Internal Server Error");
  EXPECT_NE(answer.find("HTTP/1.1 503 Busy"), std::string::npos);
  EXPECT_EQ(Ask("text=a&langpair=en|ru"), Wrapped("ru: A"));
}

TEST_F(EndToEnd, MisbehavingEnginesGiveErrorAnswersAndTheNextRequestStillWorks) {
  choice.SetChecked(translate::kGoogle);
  client.SetReadTimeout(300);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"mode": "stall", "times": 1})", "HTTP/1.1 500 Internal Server Error|Read timed out."},
      {R"({"mode": "close-before-status", "times": 1})",
       "HTTP/1.1 500 Internal Server Error|Connection Closed Gracefully."},
      {R"({"mode": "garbage", "bytes": "NOT HTTP\r\n\r\n", "times": 1})",
       "HTTP/1.1 500 Internal Server Error|NOT HTTP"},
  };
  for (const auto& [mode, answer] : cases) {
    SCOPED_TRACE(mode);
    s_fake->SetMode(mode);
    EXPECT_EQ(Ask("text=a&langpair=en|ru"), answer);
    EXPECT_EQ(Ask("text=a&langpair=en|ru"), Wrapped("ru: A"));
  }
  // A body cut short keeps what arrived; whatever the markers then find is the answer.
  s_fake->SetMode(R"({"mode": "close-mid-body", "times": 1})");
  EXPECT_EQ(Ask("text=a&langpair=en|ru").substr(0, 16), "HTTP/1.1 200 OK|");
  EXPECT_EQ(Ask("text=a&langpair=en|ru"), Wrapped("ru: A"));
}

TEST_F(EndToEnd, CompressedChunkedAndRedirectedRepliesStillTranslate) {
  choice.SetChecked(translate::kGoogle);
  for (const char* mode : {R"({"mode": "gzip"})", R"({"mode": "deflate"})", R"({"mode": "deflate-raw"})",
                           R"({"mode": "chunked", "chunk": 3})", R"({"mode": "redirect", "status": 302, "hops": 3})"}) {
    SCOPED_TRACE(mode);
    s_fake->Reset();
    s_fake->SetMode(mode);
    EXPECT_EQ(Ask("text=abc&langpair=en|ru"), Wrapped("ru: ABC"));
  }
}

TEST_F(EndToEnd, AGzipBombIsRefusedQuicklyAndTheNextTranslationWorks) {
  choice.SetChecked(translate::kGoogle);
  // 200 MiB of zeros in about 200 KB: inflating stops at 16 MiB.
  s_fake->SetMode(R"({"mode": "gzip-bomb", "times": 1})");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Ask("text=a&langpair=en|ru"),
            "HTTP/1.1 500 Internal Server Error|Decompressed reply body exceeds 16777216 bytes.");
  // The fake engine packs its bomb on first use, which takes about a second of this.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
  EXPECT_EQ(Ask("text=a&langpair=en|ru"), Wrapped("ru: A"));
}

TEST_F(EndToEnd, ATricklingEngineFailsAtTheCallLimitAndTheNextTranslationWorks) {
  choice.SetChecked(translate::kGoogle);
  client.SetCallTimeout(2000);
  // A byte every 100 ms: the answer would take half a minute, yet no read ever waits long.
  s_fake->SetMode(R"({"mode": "trickle", "interval_ms": 100, "times": 1})");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Ask("text=a&langpair=en|ru"), "HTTP/1.1 500 Internal Server Error|Read timed out.");
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::seconds(2));
  EXPECT_LT(took, std::chrono::seconds(6));
  EXPECT_EQ(Ask("text=a&langpair=en|ru"), Wrapped("ru: A"));
}

TEST_F(EndToEnd, CookiesSetByAnEngineGoBackOnItsNextRequest) {
  choice.SetChecked(translate::kGoogle);
  s_fake->SetMode(R"({"mode": "set-cookie", "cookies": ["sid=42; Path=/"], "times": 1})");
  Ask("text=a&langpair=en|ru");
  Ask("text=b&langpair=en|ru");
  const Json requests = s_fake->Requests();
  ASSERT_EQ(requests.size(), 2u);
  const std::vector<std::string> second = Lines(requests[1]["headers"]);
  EXPECT_EQ(second.back(), "Cookie: sid=42");
}

}  // namespace
}  // namespace tessarine
