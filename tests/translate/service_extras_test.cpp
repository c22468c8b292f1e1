// The cache and the engine failover inside the translation endpoint, on fake engines and injected clocks.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/exception.h"
#include "common/text.h"
#include "service_fakes.h"
#include "support/start_gate.h"
#include "translate/engine_choice.h"
#include "translate/text_codecs.h"
#include "translate/translation_service.h"

namespace tessarine::translate {
namespace {

using Lines = std::vector<std::u16string>;
using Engines = std::vector<int>;

constexpr int64_t kMinute = 60'000;

enum class Behaviour { Answer, Fail, Empty };

int EngineOf(const std::u16string& url) {
  const std::pair<const char16_t*, int> hosts[] = {{u"google", kGoogle},
                                                   {u"microsofttranslator", kBing},
                                                   {u"yandex", kYandex},
                                                   {u"babylon", kBabylon},
                                                   {u"online-translator", kPromt},
                                                   {u"systranet", kSystran},
                                                   {u"libre.test", kLibreTranslate}};
  for (const auto& [host, engine] : hosts) {
    if (url.find(host) != std::u16string::npos) return engine;
  }
  return -1;
}

// A query value as the engines read it: %XX escapes undone, then UTF-8.
std::u16string QueryValue(std::u16string_view value) {
  std::u16string bytes;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == u'%' && i + 2 < value.size()) {
      bytes += static_cast<char16_t>(HexDigitValue(value[i + 1]) * 16 + HexDigitValue(value[i + 2]));
      i += 2;
    } else {
      bytes += value[i];
    }
  }
  return DecodeUtf8Chars(bytes);
}

// Each engine's reply holding the translation NAME + ": " + text.
std::u16string Reply(int engine, const std::u16string& text) {
  const std::u16string translation = std::u16string(EngineName(engine)) + u": " + text;
  switch (engine) {
    case kGoogle:
      return u"[{\"trans\":\"" + translation + u"\"}]";
    case kBing:
      return u"\"" + translation + u"\"";
    case kYandex:
      return u"{\"text\":[\"" + translation + u"\"]}";
    case kBabylon:
      return u"cb({\"translatedText\":\"" + translation + u"\"})";
    case kPromt:
      return u"{\"d\":{\"result\":\"" + translation + u"\"}}";
    case kLibreTranslate: {
      std::u16string escaped;
      for (char16_t c : translation) escaped += c == u'"' || c == u'\\' ? std::u16string{u'\\', c} : std::u16string{c};
      return u"{\"translatedText\":\"" + escaped + u"\"}";
    }
    default:
      return {};
  }
}

class ServiceExtras : public ::testing::Test {
 protected:
  ServiceExtras() {
    client.Reply = [this](const fakes::RecordedRequest& request) {
      const int engine = EngineOf(request.Url);
      ++calls[static_cast<size_t>(engine)];
      switch (behaviour[static_cast<size_t>(engine)].load()) {
        case Behaviour::Fail:
          throw EIdException(u"HTTP/1.1 429 Too Many Requests (" + std::u16string(EngineName(engine)) + u")");
        case Behaviour::Empty:
          return std::u16string(u"<html>captcha</html>");
        case Behaviour::Answer:
          break;
      }
      std::u16string text = engine == kLibreTranslate
                                ? UnescapeJsonText(TextBetween(u"\"q\":\"", FromUtf8(request.Body), u"\",\"source\""))
                                : QueryValue(TextBetween(u"q=", request.Url + u"&", u"&"));
      if (text.empty()) text = QueryValue(TextBetween(u"text=", request.Url + u"&", u"&"));
      return Reply(engine, alter ? alter(engine, text) : text);
    };
  }

  void make(bool cache, std::optional<TFailoverSettings> failover = std::nullopt,
            std::optional<TProtectSettings> protection = std::nullopt) {
    TServiceExtras extras;
    extras.Protection = std::move(protection);
    if (cache) {
      TCacheSettings settings;
      extras.Cache = std::make_unique<TTranslationCache>(settings, log, [this] { return wall.load(); });
    }
    extras.Failover = std::move(failover);
    extras.RestClock = [this] { return steady.load(); };
    extras.Endpoints[kLibreTranslate] = TEngineEndpoint::Parse(u"libre.test:5000", u"");
    service = std::make_unique<TTranslationService>(client, log, choice, babylon, TEngineHosts(), std::move(extras));
  }

  static TFailoverSettings Failover(Engines order, int maxTries = 3) { return {std::move(order), maxTries}; }

  // The translation the endpoint answers with (the wrapper removed).
  std::u16string ask(const std::u16string& text) {
    fakes::FakeRequestInfo request;
    request.Query = {u"text=" + text, u"langpair=en|de"};
    fakes::FakeResponseInfo response;
    service->IdHTTPServer1CommandGet(request, response);
    return TextBetween(u"class=hps>", response.Content, u"</span>");
  }
  // The engine named in the last "Сервис" block of the log.
  std::u16string lastCaption() const {
    const Lines lines = log.Lines();
    for (size_t i = lines.size(); i-- > 1;) {
      if (lines[i - 1] == u"Сервис") return lines[i];
    }
    return {};
  }
  Engines called() const {
    Engines engines;
    for (const auto& request : client.Requests()) engines.push_back(EngineOf(request.Url));
    return engines;
  }
  void forget() { requestsSeen = client.Requests().size(); }
  Engines calledSince() const {
    const Engines all = called();
    return Engines(all.begin() + static_cast<std::ptrdiff_t>(requestsSeen), all.end());
  }

  // What an engine does to the text it translates, when set.
  std::function<std::u16string(int engine, std::u16string text)> alter;
  std::array<std::atomic<Behaviour>, kAllEngineCount> behaviour{};
  std::array<std::atomic<int>, kAllEngineCount> calls{};
  std::atomic<int64_t> steady{0};
  std::atomic<int64_t> wall{1'700'000'000'000};
  fakes::FakeUpstreamClient client;
  fakes::FakeLogSink log;
  TEngineChoice choice;
  TBabylonTable babylon;
  std::unique_ptr<TTranslationService> service;
  size_t requestsSeen = 0;
};

TEST_F(ServiceExtras, ACacheHitAnswersWithoutTheEngineAndSaysSo) {
  make(true);
  EXPECT_EQ(ask(u"Hello"), u"Google: Hello");
  EXPECT_EQ(lastCaption(), u"Google");
  EXPECT_EQ(ask(u"Hello"), u"Google: Hello");
  EXPECT_EQ(lastCaption(), u"Google (cache)");
  EXPECT_EQ(called(), Engines({kGoogle}));
  // Another engine, text or pair is another key.
  choice.SetChecked(kBing);
  EXPECT_EQ(ask(u"Hello"), u"Bing: Hello");
  EXPECT_EQ(called(), Engines({kGoogle, kBing}));
  // The other eight lines stay as they are.
  const Lines lines = log.Lines();
  const Lines last(lines.end() - 9, lines.end());
  EXPECT_EQ(last, Lines({u"Получение данных", u"Hello", u"Получение значения языка", u"en|de", u"Сервис", u"Bing",
                         u"Результат", u"Bing: Hello", u"__________________________________________"}));
}

TEST_F(ServiceExtras, FailuresAndEmptyResultsAreNotCached) {
  make(true);
  behaviour[kGoogle] = Behaviour::Fail;
  EXPECT_THROW(ask(u"a"), EIdException);
  behaviour[kGoogle] = Behaviour::Empty;
  EXPECT_EQ(ask(u"a"), u"");
  EXPECT_EQ(ask(u"a"), u"");
  behaviour[kGoogle] = Behaviour::Answer;
  EXPECT_EQ(ask(u"a"), u"Google: a");
  EXPECT_EQ(calls[kGoogle], 4);
  EXPECT_EQ(service->Cache()->MemoryCount(), 1u);
}

TEST_F(ServiceExtras, CachedEntriesAgeOut) {
  make(true);
  ask(u"a");
  wall += 30LL * 24 * 60 * kMinute + 1;
  ask(u"a");
  EXPECT_EQ(calls[kGoogle], 2);
  EXPECT_EQ(lastCaption(), u"Google");
}

TEST_F(ServiceExtras, ConcurrentRequestsForOneKeyCallTheEngineOnce) {
  make(true);
  constexpr int kThreads = 8;
  tessarine::test_support::StartGate start(kThreads);
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      if (ask(u"same") != u"Google: same") ++wrong;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(calls[kGoogle], 1);
  EXPECT_FALSE(client.Overlapped());
}

TEST_F(ServiceExtras, AFailingEngineHandsOverToTheNextOfTheOrderAndRests) {
  make(false, Failover({kGoogle, kBing, kYandex}));
  behaviour[kGoogle] = Behaviour::Fail;
  EXPECT_EQ(ask(u"a"), u"Bing: a");
  EXPECT_EQ(lastCaption(), u"Bing");
  EXPECT_EQ(called(), Engines({kGoogle, kBing}));
  const Lines lines = log.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), u"Google: HTTP/1.1 429 Too Many Requests (Google)"), lines.end());

  // Resting, Google is skipped without a call.
  forget();
  behaviour[kGoogle] = Behaviour::Answer;
  EXPECT_EQ(ask(u"b"), u"Bing: b");
  EXPECT_EQ(calledSince(), Engines({kBing}));
  // After 60 s it is asked again.
  steady += kMinute;
  forget();
  EXPECT_EQ(ask(u"c"), u"Google: c");
  EXPECT_EQ(calledSince(), Engines({kGoogle}));
}

TEST_F(ServiceExtras, ACallEndedBySwitchingOffNeitherRestsTheEngineNorFailsOver) {
  make(false, Failover({kGoogle, kBing}));
  behaviour[kGoogle] = Behaviour::Fail;
  client.Stopped = true;
  EXPECT_ANY_THROW(ask(u"a"));
  EXPECT_EQ(called(), Engines({kGoogle}));
  client.Stopped = false;
  behaviour[kGoogle] = Behaviour::Answer;
  EXPECT_EQ(ask(u"b"), u"Google: b") << "not resting";
}

TEST_F(ServiceExtras, TheRestDoublesWithEachFailureAndASuccessResetsIt) {
  make(false, Failover({kBing}));
  behaviour[kGoogle] = Behaviour::Fail;
  ask(u"a");  // rests 60 s
  steady += kMinute;
  ask(u"b");  // fails again: 120 s
  steady += kMinute;
  EXPECT_TRUE(service->Rest().Resting(kGoogle));
  steady += kMinute;
  EXPECT_FALSE(service->Rest().Resting(kGoogle));
  ask(u"c");  // third failure: 240 s
  steady += 4 * kMinute - 1;
  EXPECT_TRUE(service->Rest().Resting(kGoogle));
  steady += 1;
  behaviour[kGoogle] = Behaviour::Answer;
  EXPECT_EQ(ask(u"d"), u"Google: d");
  behaviour[kGoogle] = Behaviour::Fail;
  ask(u"e");  // after the success the rest starts again at 60 s
  steady += kMinute;
  EXPECT_FALSE(service->Rest().Resting(kGoogle));
  EXPECT_EQ(calls[kGoogle], 5);

  // The longest rest is 15 minutes.
  TEngineRest rest([this] { return steady.load(); });
  for (int i = 0; i < 10; ++i) rest.Failed(kBing);
  EXPECT_EQ(rest.Failed(kBing), 15 * kMinute);
}

TEST_F(ServiceExtras, RetryAfterLengthensTheRestOnlyWhenLonger) {
  make(false, Failover({kBing}));
  behaviour[kGoogle] = Behaviour::Fail;
  client.RetryAfter = 300;
  ask(u"a");
  steady += 5 * kMinute - 1;
  EXPECT_TRUE(service->Rest().Resting(kGoogle));
  steady += 1;
  EXPECT_FALSE(service->Rest().Resting(kGoogle));
  client.RetryAfter = 10;
  ask(u"b");  // second failure: 120 s beats 10 s
  steady += 2 * kMinute - 1;
  EXPECT_TRUE(service->Rest().Resting(kGoogle));
}

TEST_F(ServiceExtras, AnEmptyExtractionFailsOverToo) {
  make(false, Failover({kBing}));
  behaviour[kGoogle] = Behaviour::Empty;
  EXPECT_EQ(ask(u"a"), u"Bing: a");
  EXPECT_TRUE(service->Rest().Resting(kGoogle));
}

TEST_F(ServiceExtras, WhenEveryTryFailsTheFirstFailureIsTheAnswer) {
  make(false, Failover({kBing, kYandex, kPromt}, 3));
  for (int engine : {kGoogle, kBing, kYandex, kPromt}) behaviour[static_cast<size_t>(engine)] = Behaviour::Fail;
  try {
    ask(u"a");
    ADD_FAILURE() << "no error";
  } catch (const EIdException& e) {
    EXPECT_EQ(e.Message(), u"HTTP/1.1 429 Too Many Requests (Google)");
  }
  EXPECT_EQ(called(), Engines({kGoogle, kBing, kYandex}));  // MaxTries
  // The first failure an empty reply: the empty answer, named after the chosen engine, as without failover.
  steady += 60 * kMinute;
  behaviour[kGoogle] = Behaviour::Empty;
  EXPECT_EQ(ask(u"b"), u"");
  EXPECT_EQ(lastCaption(), u"Google");
}

TEST_F(ServiceExtras, WhenEveryEngineRestsTheChosenOneIsAskedAnyway) {
  make(false, Failover({kBing}));
  behaviour[kGoogle] = Behaviour::Fail;
  behaviour[kBing] = Behaviour::Fail;
  EXPECT_THROW(ask(u"a"), EIdException);
  forget();
  behaviour[kGoogle] = Behaviour::Answer;
  EXPECT_EQ(ask(u"b"), u"Google: b");
  EXPECT_EQ(calledSince(), Engines({kGoogle}));
}

TEST_F(ServiceExtras, CacheAndFailoverTogether) {
  make(true, Failover({kBing, kLibreTranslate}));
  behaviour[kGoogle] = Behaviour::Fail;
  behaviour[kBing] = Behaviour::Fail;
  EXPECT_EQ(ask(u"a"), u"LibreTranslate: a");
  // Google and Bing rest; the answer of the engine that gave it comes from the cache.
  forget();
  EXPECT_EQ(ask(u"a"), u"LibreTranslate: a");
  EXPECT_EQ(lastCaption(), u"LibreTranslate (cache)");
  EXPECT_TRUE(calledSince().empty());
}

TEST_F(ServiceExtras, ProtectedPiecesTravelAsEachEnginesTokensWhileLogAndCacheKeepTheSuitesText) {
  const TProtectSettings protect = TProtectSettings::FromTerms(u"Tessarine Studio");
  make(true, std::nullopt, protect);
  const std::u16string text = u"Open %s & <b>Tessarine Studio</b>";
  EXPECT_EQ(ask(text), u"Google: " + text);
  EXPECT_NE(client.Requests().back().Url.find(u"q=Open%20%5BX1X%5D%20%26%20%5BX2X%5D&"), std::u16string::npos);
  choice.AddOptionalEngine(kLibreTranslate, false);
  choice.SetChecked(kLibreTranslate);
  EXPECT_EQ(ask(text), u"LibreTranslate: " + text);
  const std::string body = client.Requests().back().Body;
  EXPECT_NE(body.find(R"("q":"Open <x id=\"1\"></x> &amp; <x id=\"2\"></x>")"), std::string::npos) << body;
  EXPECT_NE(body.find(R"("format":"html")"), std::string::npos) << body;
  for (const std::u16string& line : log.Lines()) EXPECT_EQ(line.find(u"X1X"), std::u16string::npos);
  EXPECT_EQ(service->Cache()->Find({kGoogle, u"en", u"de", text, protect.CacheTag()}), u"Google: " + text);
  EXPECT_EQ(service->Cache()->Find({kGoogle, u"en", u"de", text}), std::nullopt);

  // Without [Protect] the text goes as it is.
  make(false);
  choice.SetChecked(kGoogle);
  EXPECT_EQ(ask(u"Open %s"), u"Google: Open %s");
  EXPECT_NE(client.Requests().back().Url.find(u"q=Open%20%25s&"), std::u16string::npos);
}

TEST_F(ServiceExtras, ATextWhoseTokensAnEngineDamagesFailsOverWithoutRestingItAndNothingDamagedIsCached) {
  alter = [](int engine, std::u16string text) {
    if (engine == kGoogle) text.erase(text.find(u"[X1X]"), 5);
    return text;
  };
  make(true, Failover({kBing}), TProtectSettings{});
  EXPECT_EQ(ask(u"Delete {0} items?"), u"Bing: Delete {0} items?");
  const Lines lines = log.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), u"Google: Placeholders changed by Google: {0} missing"), lines.end());
  EXPECT_FALSE(service->Rest().Resting(kGoogle));
  EXPECT_EQ(service->Cache()->MemoryCount(), 1u);

  // Alone, the engine's failure is the answer.
  alter = [](int, std::u16string text) { return text + u" [X1X]"; };
  make(true, std::nullopt, TProtectSettings{});
  try {
    ask(u"Delete {0} items?");
    ADD_FAILURE() << "no error";
  } catch (const EPlaceholdersChanged& e) {
    EXPECT_EQ(e.Message(), u"Placeholders changed by Google: {0} duplicated");
  }
  EXPECT_EQ(service->Cache()->MemoryCount(), 0u);
}

}  // namespace
}  // namespace tessarine::translate
