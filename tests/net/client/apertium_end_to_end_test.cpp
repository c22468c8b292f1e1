// Apertium over the whole road with the real client and the local server on loopback: against the fake
// engines, the reply shapes the real service does not produce on demand; against the real service (Debian's
// apertium-apy with apertium-eng-spa), a text long enough to go as a form POST.

#include <gtest/gtest.h>

#include "common/text.h"
#include "net/client/http_client.h"
#include "net/server/http_server.h"
#include "support/apertium_service.h"
#include "support/fake_engine.h"
#include "support/translation_endpoint.h"
#include "translate/apertium.h"
#include "translate/babylon_table.h"
#include "translate/engine_choice.h"
#include "translate/translation_service.h"

namespace tessarine {
namespace {

using test_support::Json;
using test_support::Wrapped;

constexpr char kError[] = "HTTP/1.1 500 Internal Server Error|";

class ApertiumRoad : public ::testing::Test {
 protected:
  ~ApertiumRoad() override {
    if (server.Active()) server.SetActive(false);
  }

  void start(const std::string& apertiumHost, bool failover = false) {
    choice.AddOptionalEngine(translate::kApertium, false);
    choice.SetChecked(translate::kApertium);
    translate::TServiceExtras extras;
    extras.Endpoints[translate::kApertium] = translate::TEngineEndpoint::Parse(Widen(apertiumHost), u"", 0);
    translate::TEngineHosts hosts;
    if (failover) {
      hosts.SetHost(translate::kBing, Widen(fallback.HttpHost()));
      extras.Failover = translate::TFailoverSettings{{translate::kBing}, 2};
    }
    service = std::make_unique<translate::TTranslationService>(client, log, choice, babylon, hosts, std::move(extras));
    test_support::ServeOnLoopback(server,
                                  [this](server::TIdHTTPRequestInfo& request, server::TIdHTTPResponseInfo& response) {
                                    service->IdHTTPServer1CommandGet(request, response);
                                  });
  }

  std::string Ask(std::string_view query) { return test_support::AskEndpoint(server.Bindings()[0].Port(), query); }

  test_support::FakeEngine fallback;
  client::TIdHTTP client;
  test_support::RecordingLog log;
  translate::TEngineChoice choice;
  translate::TBabylonTable babylon;
  std::unique_ptr<translate::TTranslationService> service;
  server::TIdHTTPServer server;
};

TEST_F(ApertiumRoad, FakeServiceRepliesOfEveryShape) {
  start(fallback.HttpHost());
  // Its raw UTF-8, declared as such, reaches the local client as the same bytes.
  EXPECT_EQ(Ask("text=ni%C3%B1o%20%C2%BF&langpair=en|es"), Wrapped("es: NI\xC3\xB1O \xC2\xBF"));
  const Json requests = fallback.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["request_line"].text,
            "GET /translate?q=ni%C3%B1o%20%C2%BF&langpair=en%7Ces&markUnknown=no HTTP/1.1");

  // A refusal carries the service's explanation; one that is no JSON keeps its status line.
  fallback.SetMode(R"({"engine": "apertium", "mode": "status", "code": 400, "times": 1,
      "content_type": "application/json; charset=UTF-8",
      "body": "{\"status\": \"error\", \"code\": 400, \"explanation\": \"Esa pareja no est\u00e1 instalada\"}"})");
  EXPECT_EQ(Ask("text=a&langpair=en|ru"), std::string(kError) + "Esa pareja no est\xE1 instalada");
  EXPECT_EQ(log.Last(), u"Apertium: Esa pareja no est\u00e1 instalada");
  fallback.SetMode(R"({"engine": "apertium", "mode": "status", "code": 503, "body": "<h1>Busy</h1>", "times": 1})");
  EXPECT_EQ(Ask("text=a&langpair=en|es"), std::string(kError) + "HTTP/1.1 503 Service Unavailable");

  client.SetReadTimeout(300);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"engine": "apertium", "mode": "garbage", "bytes": "Hola\r\n\r\n", "times": 1})", "Hola"},
      {R"({"engine": "apertium", "mode": "stall", "times": 1})", "Read timed out."},
      // Cut off, the body is kept as far as it came: half a JSON object.
      {R"({"engine": "apertium", "mode": "close-mid-body", "times": 1})", "Apertium: the reply is not JSON"},
      {R"({"engine": "apertium", "mode": "status", "code": 200, "body": "<html>captive portal</html>", "times": 1})",
       "Apertium: the reply is not JSON"},
  };
  for (const auto& [mode, message] : cases) {
    SCOPED_TRACE(mode);
    fallback.SetMode(mode);
    EXPECT_EQ(Ask("text=a&langpair=en|es"), kError + message);
    EXPECT_EQ(log.Last(), u"Apertium: " + Widen(message));
    EXPECT_EQ(Ask("text=a&langpair=en|es"), Wrapped("es: A"));
  }
}

TEST_F(ApertiumRoad, AFailingServiceHandsOverToTheNextEngine) {
  start(fallback.HttpHost(), true);
  fallback.SetMode(R"({"engine": "apertium", "mode": "garbage", "bytes": "x"})");
  EXPECT_EQ(Ask("text=a&langpair=en|es"), Wrapped("es: A"));
  EXPECT_EQ(fallback.Requests()[1]["request_line"].text.rfind("GET /v2/ajax.svc/Translate?", 0), 0u);
}

TEST_F(ApertiumRoad, RealServiceTranslatesALongTextSentAsAFormPost) {
  test_support::ApertiumService apertium;
  start(apertium.Host());
  // About 6 KiB once encoded: above the GET limit, below the local server's 16 KiB request line.
  std::string encoded;
  while (encoded.size() < 1.5 * translate::kApertiumLongestGetTarget)
    encoded += "El%20ni%C3%B1o%20comi%C3%B3%20pan.%20";
  const std::string answer = Ask("text=" + encoded + "&langpair=es|en");
  // The same text asked straight with a GET, which the service itself takes up to 64 KiB.
  const std::string direct = Json::Parse(apertium.Get("/translate?langpair=es%7Cen&markUnknown=no&q=" +
                                                      encoded))["responseData"]["translatedText"]
                                 .text;
  EXPECT_EQ(direct.substr(0, 28), "The boy ate bread. The boy a");
  EXPECT_EQ(answer, Wrapped(direct));
  EXPECT_NE(apertium.Log().find("200 POST /translate"), std::string::npos) << apertium.Log();
}

}  // namespace
}  // namespace tessarine
