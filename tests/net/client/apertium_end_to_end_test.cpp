// Apertium over the whole road with the real clients of the pool and the local server on loopback: against the
// fake engines, the reply shapes the real service does not produce on demand and requests served side by side;
// against the real service (Debian's apertium-apy with apertium-eng-spa), a text long enough to go as a form POST
// and concurrent requests each answered with its own translation.

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <future>
#include <set>
#include <vector>

#include "common/text.h"
#include "net/client/http_client.h"
#include "net/client/upstream_pool.h"
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

  // readTimeoutMs, when given, is the read limit of the pool's clients.
  void start(const std::string& apertiumHost, bool failover = false, int readTimeoutMs = 0,
             std::optional<translate::TProtectSettings> protection = std::nullopt) {
    pool = std::make_unique<client::TUpstreamPool>(client::TUpstreamPool::kDefaultSize, [=](client::TIdHTTP& made) {
      if (readTimeoutMs > 0) made.SetReadTimeout(readTimeoutMs);
    });
    choice.AddOptionalEngine(translate::kApertium, false);
    choice.SetChecked(translate::kApertium);
    translate::TServiceExtras extras;
    extras.Endpoints[translate::kApertium] = translate::TEngineEndpoint::Parse(Widen(apertiumHost), u"", 0);
    translate::TEngineHosts hosts;
    if (failover) {
      hosts.SetHost(translate::kBing, Widen(fallback.HttpHost()));
      extras.Failover = translate::TFailoverSettings{{translate::kBing}, 2};
    }
    extras.Pool = pool.get();
    extras.Protection = std::move(protection);
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
  std::unique_ptr<client::TUpstreamPool> pool;
  std::unique_ptr<translate::TTranslationService> service;
  server::TIdHTTPServer server;
};

TEST_F(ApertiumRoad, FakeServiceRepliesOfEveryShape) {
  start(fallback.HttpHost(), false, 300);
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
    // The log names the engine once, also where the message names it already.
    const std::u16string logged = Widen(message);
    EXPECT_EQ(log.Last(), logged.starts_with(u"Apertium: ") ? logged : u"Apertium: " + logged);
    EXPECT_EQ(Ask("text=a&langpair=en|es"), Wrapped("es: A"));
  }
}

TEST_F(ApertiumRoad, ConcurrentRequestsAreServedSideBySideOnNoMoreConnectionsThanThePoolHolds) {
  start(fallback.HttpHost());
  fallback.SetMode(R"({"engine": "apertium", "mode": "stall", "seconds": 0.5})");
  constexpr int kRequests = 8;
  const auto begin = std::chrono::steady_clock::now();
  std::vector<std::future<std::string>> answers;
  for (int i = 0; i < kRequests; ++i)
    answers.push_back(
        std::async(std::launch::async, [this, i] { return Ask("text=t" + std::to_string(i) + "&langpair=en|es"); }));
  for (int i = 0; i < kRequests; ++i)
    EXPECT_EQ(answers[static_cast<size_t>(i)].get(), Wrapped("es: T" + std::to_string(i)));
  // One at a time they would take 4 s; four at a time, two rounds of half a second.
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(3000));

  const Json requests = fallback.Requests();
  ASSERT_EQ(requests.size(), static_cast<size_t>(kRequests));
  std::set<double> connections;
  for (size_t i = 0; i < requests.size(); ++i) connections.insert(requests[i]["conn"].number);
  EXPECT_EQ(connections.size(), client::TUpstreamPool::kDefaultSize) << "each client kept its connection";
  EXPECT_EQ(pool->Made(), client::TUpstreamPool::kDefaultSize);
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

TEST_F(ApertiumRoad, RealServiceAnswersConcurrentRequestsEachWithItsOwnTranslation) {
  test_support::ApertiumService apertium;
  start(apertium.Host());
  const std::vector<std::string> texts = {"The%20child%20ate%20an%20apple.", "I%20opened%20the%20file.",
                                          "The%20house%20is%20big.", "We%20read%20a%20book."};
  std::vector<std::string> straight;
  for (const std::string& text : texts) {
    straight.push_back(Json::Parse(apertium.Get("/translate?langpair=en%7Ces&markUnknown=no&q=" +
                                                text))["responseData"]["translatedText"]
                           .text);
  }
  std::vector<std::future<std::string>> answers;
  for (size_t i = 0; i < 2 * texts.size(); ++i) {
    answers.push_back(
        std::async(std::launch::async, [&, i] { return Ask("text=" + texts[i % texts.size()] + "&langpair=en|es"); }));
  }
  for (size_t i = 0; i < answers.size(); ++i) EXPECT_EQ(answers[i].get(), Wrapped(straight[i % texts.size()]));
  EXPECT_LE(pool->Made(), client::TUpstreamPool::kDefaultSize);
}

TEST_F(ApertiumRoad, RealServiceWithProtectionKeepsThePlaceholdersAcceleratorsMarkupAndTermsOfUiStrings) {
  test_support::ApertiumService apertium;
  start(apertium.Host(), false, 0, translate::TProtectSettings::FromTerms(u"Tessarine Studio"));
  auto encoded = [](std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", c);
      out += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : std::string(escape);
    }
    return out;
  };
  // Sent as they are, these lose their tag's word, stay untranslated, glue the escape to the next word, lose the
  // product's name (see the service's own answers at the end).
  const std::pair<std::string, std::string> cases[] = {
      {"<b>Bold</b> text", "<b>Texto</b> intr\xC3\xA9pido"},
      {"E&xit", "Salida(&X)"},
      {"&File", "Lima(&F)"},
      {"Line one\\nLine two", "L\xC3\xADnea una\\nL\xC3\xADnea dos"},
      {"Open the File menu of Tessarine Studio", "Abierto la carta de Lima de Tessarine Studio"},
      {"Open the file %s now", "Abierto la lima %s ahora"},
      {"Copied %d of %5.2f MB", "Copiado %d de %5.2f MB"},
      {"Delete {0} items?", "Elimina {0} elementos?"},
      {"Press <x id=\"1\"/> and <x id=\"2\"/>", "Prensa <x id=\"1\"/> y <x id=\"2\"/>"},
      {"Save & exit, 100% sure", "Salva & salida, 100% seguro"},
  };
  for (const auto& [text, translation] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Ask("text=" + encoded(text) + "&langpair=en|es"), Wrapped(translation));
  }
  // The service's own answers to the first four sent as they are.
  const std::string unprotected[] = {"<b>Texto<\\/b> intr\xC3\xA9pido", "E&xit", "&Lima",
                                     "L\xC3\xADnea un\\\\nLine dos"};
  for (size_t i = 0; i < std::size(unprotected); ++i) {
    EXPECT_NE(
        apertium.Get("/translate?langpair=en%7Ces&markUnknown=no&q=" + encoded(cases[i].first)).find(unprotected[i]),
        std::string::npos);
  }
}

}  // namespace
}  // namespace tessarine
