#pragma once

// A keyed engine through the service with Bing behind it for failover: the engine's replies are made by the test
// from each request, its refusals are a status and a body, and the rest they give it is measured to the minute.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include "common/text.h"
#include "service_fakes.h"
#include "translate/engine_choice.h"
#include "translate/text_codecs.h"
#include "translate/translation_service.h"

namespace tessarine::translate::fakes {

class KeyedEngineService : public ::testing::Test {
 protected:
  static constexpr int64_t kMinute = 60'000;

  // path: what the engine's URLs hold, which Bing's do not.
  void make(int engine, TEngineEndpoint endpoint, std::u16string path,
            std::function<std::u16string(const RecordedRequest&)> reply, bool failover,
            std::optional<TProtectSettings> protection = std::nullopt) {
    m_engine = engine;
    client.Reply = [this, path, reply](const RecordedRequest& request) -> std::u16string {
      if (request.Url.find(path) == std::u16string::npos) return u"\"Bing\"";
      if (failure) {
        client.RefusedStatus = failure->first;
        client.RefusedBody = failure->second;
        throw EIdException(u"HTTP/1.1 " + IntToStr(failure->first) + u" Refused");
      }
      return reply(request);
    };
    choice.AddOptionalEngine(engine, true);
    choice.SetChecked(engine);
    TServiceExtras extras;
    extras.Endpoints[engine] = std::move(endpoint);
    if (failover) extras.Failover = TFailoverSettings{{kBing}, 2};
    extras.Protection = std::move(protection);
    extras.RestClock = [this] { return steady.load(); };
    service = std::make_unique<TTranslationService>(client, log, choice, babylon, TEngineHosts(), std::move(extras));
  }
  // The translation, or "failed: " and the failure's message.
  std::u16string ask(const std::u16string& text, const std::u16string& langpair = u"en|de") {
    FakeRequestInfo request;
    request.Query = {u"text=" + text, u"langpair=" + langpair};
    FakeResponseInfo response;
    try {
      service->IdHTTPServer1CommandGet(request, response);
    } catch (const Exception& e) {
      return u"failed: " + e.Message();
    }
    return TextBetween(u"class=hps>", response.Content, u"</span>");
  }
  void refuse(int status, std::u16string body, std::optional<int64_t> retryAfter = std::nullopt) {
    failure = {status, std::move(body)};
    client.RetryAfter = retryAfter;
  }
  static bool hasHeader(const RecordedRequest& request, const std::u16string& headerLine) {
    return std::find(request.HeaderLines.begin(), request.HeaderLines.end(), headerLine) != request.HeaderLines.end();
  }
  // How long the engine rests from now, to the minute, when it is less than a day.
  int64_t restMinutes() {
    const int64_t start = steady;
    int64_t minutes = 0;
    while (service->Rest().Resting(m_engine) && minutes < 24 * 60) {
      steady += kMinute;
      ++minutes;
    }
    steady = start;
    return minutes;
  }
  // Each refusal with failover on: answered by Bing, the engine resting that many minutes; rested and answering
  // again before the next, which forgets the failures before.
  struct TRestCase {
    int status;
    const char16_t* body;
    std::optional<int64_t> retryAfter;
    int64_t minutes;
  };
  void expectRests(std::initializer_list<TRestCase> cases, const std::u16string& answer) {
    for (const TRestCase& c : cases) {
      SCOPED_TRACE(c.status);
      steady += 24 * 60 * kMinute;
      failure.reset();
      EXPECT_EQ(ask(u"Hello"), answer);
      refuse(c.status, c.body, c.retryAfter);
      EXPECT_EQ(ask(u"Hello"), u"Bing");
      EXPECT_EQ(restMinutes(), c.minutes);
    }
  }

  std::optional<std::pair<int, std::u16string>> failure;
  std::atomic<int64_t> steady{0};
  FakeUpstreamClient client;
  FakeLogSink log;
  TEngineChoice choice;
  TBabylonTable babylon;
  std::unique_ptr<TTranslationService> service;

 private:
  int m_engine = 0;
};

}  // namespace tessarine::translate::fakes
