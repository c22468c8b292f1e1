// Calls to an engine that serves several at once (Apertium, DeepL) through a pool of fake clients: they overlap,
// each on a client of its own, while the online engines' calls stay in line for the one client; DeepL's requests
// waiting for the same pair go out together; failures, switching off and the cache treat them as the others.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <vector>

#include "common/exception.h"
#include "common/text.h"
#include "service_fakes.h"
#include "support/mini_json.h"
#include "translate/apertium.h"
#include "translate/engine_choice.h"
#include "translate/text_codecs.h"
#include "translate/translation_service.h"

namespace tessarine::translate {
namespace {

using namespace std::chrono_literals;

constexpr int64_t kSecond = 1000;

// Lets callers wait, bounded, until enough of them have arrived or until Open.
class Meeting {
 public:
  // False when the others did not come in time.
  bool Arrive(int expected) {
    std::unique_lock lock(m_mutex);
    ++m_arrived;
    m_changed.notify_all();
    return m_changed.wait_for(lock, 5s, [&] { return m_open || m_arrived >= expected; });
  }
  void Open() {
    std::lock_guard lock(m_mutex);
    m_open = true;
    m_changed.notify_all();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  int m_arrived = 0;
  bool m_open = false;
};

// Polls until cond holds, for at most 5 s.
template <typename Condition>
bool WaitUntil(Condition cond) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Apertium's reply translating the request's text as "es: " + text.
std::u16string ApertiumReply(const fakes::RecordedRequest& request) {
  return u"{\"responseData\": {\"translatedText\": \"es: " + TextBetween(u"q=", request.Url + u"&", u"&") + u"\"}}";
}

// DeepL's reply translating each text of the request as "TARGET: " + text.
std::u16string DeepLReply(const fakes::RecordedRequest& request) {
  const test_support::Json body = test_support::Json::Parse(request.Body);
  std::u16string reply = u"{\"translations\":[";
  for (size_t i = 0; i < body["text"].size(); ++i) {
    reply += (i ? u",{\"text\":\"" : u"{\"text\":\"") + FromUtf8(body["target_lang"].text) + u": " +
             FromUtf8(body["text"][i].text) + u"\"}";
  }
  return reply + u"]}";
}

// The texts of a DeepL request, and its target.
std::vector<std::string> DeepLTexts(const fakes::RecordedRequest& request) {
  const test_support::Json body = test_support::Json::Parse(request.Body);
  std::vector<std::string> texts{body["target_lang"].text};
  for (const test_support::Json& text : body["text"].items) texts.push_back(text.text);
  return texts;
}

class PooledCalls : public ::testing::Test {
 protected:
  PooledCalls() {
    client.Reply = [](const fakes::RecordedRequest& request) -> std::u16string {
      if (request.Url.find(u"libre.test") != std::u16string::npos) return u"{\"translatedText\":\"LibreTranslate\"}";
      if (request.Url.find(u"/v2/ajax.svc/") != std::u16string::npos) return u"\"Bing\"";
      return u"[{\"trans\":\"Google\"}]";
    };
  }

  void make(size_t clients, std::optional<TFailoverSettings> failover = std::nullopt, bool cache = false,
            std::optional<TProtectSettings> protect = std::nullopt) {
    pool = std::make_unique<fakes::FakeUpstreamPool>(clients, [this](fakes::FakeUpstreamClient& pooled) {
      pooled.CharSet = u"UTF-8";
      pooled.Reply = [this](const fakes::RecordedRequest& request) {
        return request.Url.ends_with(u"/v2/translate") ? deepl(request) : apertium(request);
      };
    });
    choice.AddOptionalEngine(kLibreTranslate, false);
    choice.AddOptionalEngine(kApertium, false);
    choice.AddOptionalEngine(kDeepL, false);
    TServiceExtras extras;
    extras.Endpoints[kLibreTranslate] = TEngineEndpoint::Parse(u"libre.test:5000", u"");
    extras.Endpoints[kApertium] = TEngineEndpoint::Parse(u"127.0.0.1", u"", kApertiumDefaultPort);
    extras.Endpoints[kDeepL] = TEngineEndpoint::Parse(u"api.deepl.com", u"0d5e3f2a-key", 0, {.HttpsByDefault = true});
    extras.Failover = std::move(failover);
    extras.RestClock = [this] { return steady.load(); };
    if (cache) extras.Cache = std::make_unique<TTranslationCache>(TCacheSettings{}, log);
    extras.Pool = pool.get();
    extras.Protection = std::move(protect);
    service = std::make_unique<TTranslationService>(client, log, choice, babylon, TEngineHosts(), std::move(extras));
  }

  std::u16string translate(int engine, const std::u16string& text) {
    return service->translateget(text, u"es", u"en", engine, u"UTF-8");
  }
  // Through the endpoint with the engine chosen now: the translation, or "failed: " and the failure's message.
  std::u16string ask(const std::u16string& text, const std::u16string& langpair = u"en|es") {
    fakes::FakeRequestInfo request;
    request.Query = {u"text=" + text, u"langpair=" + langpair};
    fakes::FakeResponseInfo response;
    try {
      service->IdHTTPServer1CommandGet(request, response);
    } catch (const Exception& e) {
      return u"failed: " + e.Message();
    }
    return TextBetween(u"class=hps>", response.Content, u"</span>");
  }
  bool logged(const std::u16string& line) const {
    const std::vector<std::u16string> lines = log.Lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  bool anyPooledClientOverlapped() {
    for (size_t i = 0; i < pool->Size(); ++i) {
      if (pool->Client(i).Overlapped()) return true;
    }
    return false;
  }
  // DeepL's requests, in the order they were sent.
  std::vector<fakes::RecordedRequest> deeplRequests() const {
    std::vector<fakes::RecordedRequest> requests;
    for (fakes::RecordedRequest& request : pool->Requests()) {
      if (request.Url.ends_with(u"/v2/translate")) requests.push_back(std::move(request));
    }
    return requests;
  }
  // Four requests of other pairs, which deepl is to hold: every call DeepL may have at once is taken.
  std::vector<std::future<std::u16string>> takeEveryDeepLCall() {
    std::vector<std::future<std::u16string>> calls;
    for (const char16_t* pair : {u"en|fr", u"en|es", u"en|it", u"en|pl"})
      calls.push_back(std::async(std::launch::async, [this, pair] { return ask(u"x", pair); }));
    EXPECT_TRUE(WaitUntil([&] { return deeplRequests().size() == 4; }));
    return calls;
  }
  std::function<std::u16string(const fakes::RecordedRequest&)> apertium = ApertiumReply;
  std::function<std::u16string(const fakes::RecordedRequest&)> deepl = DeepLReply;
  std::atomic<int64_t> steady{0};
  fakes::FakeUpstreamClient client;
  fakes::FakeLogSink log;
  TEngineChoice choice;
  TBabylonTable babylon;
  std::unique_ptr<fakes::FakeUpstreamPool> pool;
  std::unique_ptr<TTranslationService> service;
};

TEST_F(PooledCalls, ApertiumCallsOverlapWhileTheOnlineEnginesStayInLine) {
  make(4);
  Meeting inside;
  std::atomic<bool> alone = false;
  apertium = [&](const fakes::RecordedRequest& request) {
    if (!inside.Arrive(4)) alone = true;
    return ApertiumReply(request);
  };
  std::vector<std::future<std::u16string>> calls;
  for (int i = 0; i < 4; ++i) {
    const std::u16string word = u"w" + Widen(std::to_string(i));
    calls.push_back(std::async(std::launch::async, [this, word] { return translate(kApertium, word); }));
  }
  for (int i = 0; i < 4; ++i) EXPECT_EQ(calls[static_cast<size_t>(i)].get(), u"es: w" + Widen(std::to_string(i)));
  EXPECT_FALSE(alone) << "four calls were inside Apertium at once";
  EXPECT_EQ(pool->MostAtOnce(), 4u);
  EXPECT_FALSE(anyPooledClientOverlapped()) << "each call had its client to itself";
  EXPECT_TRUE(client.Requests().empty());

  // A running Apertium call holds nothing the online engines need.
  Meeting googleDone;
  apertium = [&](const fakes::RecordedRequest& request) {
    if (!googleDone.Arrive(2)) alone = true;
    return ApertiumReply(request);
  };
  auto slow = std::async(std::launch::async, [this] { return translate(kApertium, u"slow"); });
  EXPECT_EQ(translate(kGoogle, u"a"), u"Google");
  googleDone.Open();
  EXPECT_EQ(slow.get(), u"es: slow");

  // The online engines, LibreTranslate among them, go one at a time through the one client, never the pool.
  const int takes = pool->Takes();
  calls.clear();
  for (int i = 0; i < 8; ++i) {
    const int engine = i % 2 == 0 ? kGoogle : kLibreTranslate;
    calls.push_back(std::async(std::launch::async, [this, engine] { return translate(engine, u"b"); }));
  }
  for (auto& call : calls) call.get();
  EXPECT_FALSE(client.Overlapped());
  EXPECT_EQ(client.Requests().size(), 9u);
  EXPECT_EQ(pool->Takes(), takes);
}

TEST_F(PooledCalls, APooledCallsFailureIsReadFromItsOwnClient) {
  make(2, TFailoverSettings{{kBing}, 2});
  choice.SetChecked(kApertium);
  // The one client knows nothing of these failures: a refusal's body and Retry-After come from the pooled client.
  for (size_t i = 0; i < 2; ++i) {
    pool->Client(i).RefusedBody = u"{\"status\": \"error\", \"explanation\": \"That pair is not installed\"}";
    pool->Client(i).RetryAfter = 300;
  }
  apertium = [](const fakes::RecordedRequest&) -> std::u16string { throw EIdException(u"HTTP/1.1 400 Bad Request"); };
  EXPECT_EQ(ask(u"a", u"en|ru"), u"Bing");
  EXPECT_TRUE(logged(u"Apertium: That pair is not installed"));
  EXPECT_FALSE(service->Rest().Resting(kApertium)) << "a refusal with an explanation does not rest it";

  for (size_t i = 0; i < 2; ++i) pool->Client(i).RefusedBody.reset();
  apertium = [](const fakes::RecordedRequest&) -> std::u16string {
    throw EIdException(u"HTTP/1.1 503 Service Unavailable");
  };
  EXPECT_EQ(ask(u"a"), u"Bing");
  EXPECT_TRUE(logged(u"Apertium: HTTP/1.1 503 Service Unavailable"));
  steady += 300 * kSecond - 1;
  EXPECT_TRUE(service->Rest().Resting(kApertium)) << "for as long as its Retry-After asked";
  steady += 1;
  EXPECT_FALSE(service->Rest().Resting(kApertium));
}

TEST_F(PooledCalls, APooledCallEndedBySwitchingOffNeitherRestsNorFailsOverNorIsLogged) {
  make(1, TFailoverSettings{{kBing}, 2});
  choice.SetChecked(kApertium);
  // Refused a client, and aborted after taking one.
  pool->Stopped = true;
  EXPECT_EQ(ask(u"a"), u"failed: Disconnected.");
  pool->Stopped = false;
  apertium = [this](const fakes::RecordedRequest&) -> std::u16string {
    pool->Stopped = true;
    throw EIdException(u"Disconnected.");
  };
  EXPECT_EQ(ask(u"a"), u"failed: Disconnected.");
  pool->Stopped = false;

  EXPECT_TRUE(client.Requests().empty()) << "Bing was not asked";
  EXPECT_FALSE(service->Rest().Resting(kApertium));
  for (const std::u16string& line : log.Lines()) EXPECT_FALSE(line.starts_with(u"Apertium:")) << ToUtf8(line);
  apertium = ApertiumReply;
  EXPECT_EQ(ask(u"a"), u"es: a");
}

TEST_F(PooledCalls, ARequestThatWaitedForAClientTakesTheSameRequestsAnswerFromTheCache) {
  make(1, std::nullopt, true);
  choice.SetChecked(kApertium);
  Meeting release;
  apertium = [&](const fakes::RecordedRequest& request) {
    release.Arrive(2);
    return ApertiumReply(request);
  };
  auto first = std::async(std::launch::async, [this] { return ask(u"same"); });
  ASSERT_TRUE(WaitUntil([&] { return pool->Takes() == 1; }));
  auto second = std::async(std::launch::async, [this] { return ask(u"same"); });
  ASSERT_TRUE(WaitUntil([&] { return pool->Waiting() == 1; }));
  release.Open();
  EXPECT_EQ(first.get(), u"es: same");
  EXPECT_EQ(second.get(), u"es: same");
  EXPECT_EQ(pool->Requests().size(), 1u);
  EXPECT_TRUE(logged(u"Apertium (cache)"));
}

TEST_F(PooledCalls, DeepLsRequestsWaitingForOnePairGoOutTogetherSplitAtItsLimit) {
  make(4);
  choice.SetChecked(kDeepL);
  Meeting held;
  deepl = [&held](const fakes::RecordedRequest& request) {
    held.Arrive(1000);
    return DeepLReply(request);
  };
  auto others = takeEveryDeepLCall();
  std::vector<std::future<std::u16string>> burst;
  for (int i = 0; i < 60; ++i) {
    const std::u16string text = u"w" + Widen(std::to_string(i));
    burst.push_back(std::async(std::launch::async, [this, text] { return ask(text, u"en|de"); }));
  }
  ASSERT_TRUE(WaitUntil([&] { return service->Batches().Waiting() == 60; }));
  EXPECT_EQ(deeplRequests().size(), 4u) << "no fifth call while four run";
  held.Open();
  for (auto& call : others) EXPECT_TRUE(call.get().ends_with(u": x"));
  for (int i = 0; i < 60; ++i) EXPECT_EQ(burst[static_cast<size_t>(i)].get(), u"DE: w" + Widen(std::to_string(i)));
  std::vector<std::vector<std::string>> german;
  for (const fakes::RecordedRequest& request : deeplRequests()) {
    if (DeepLTexts(request)[0] == "DE") german.push_back(DeepLTexts(request));
  }
  std::sort(german.begin(), german.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
  ASSERT_EQ(german.size(), 2u);
  EXPECT_EQ(german[0].size(), 51u) << "the target and 50 texts";
  EXPECT_EQ(german[1].size(), 11u);
  EXPECT_LE(pool->MostAtOnce(), 4u);
  EXPECT_FALSE(anyPooledClientOverlapped());
}

TEST_F(PooledCalls, AFailedDeepLCallFailsOverEachOfItsRequestsAndRestsDeepLOnce) {
  make(4, TFailoverSettings{{kBing}, 2});
  choice.SetChecked(kDeepL);
  // The four calls that take DeepL's room are refused for their pairs alone, which rests nothing; the call of the
  // three waiting requests cannot connect.
  for (size_t i = 0; i < pool->Size(); ++i) {
    pool->Client(i).RefusedStatus = 400;
    pool->Client(i).RefusedBody = u"{\"message\":\"Value for 'target_lang' not supported.\"}";
  }
  Meeting held;
  deepl = [&held](const fakes::RecordedRequest& request) -> std::u16string {
    held.Arrive(1000);
    if (DeepLTexts(request)[0] == "DE") throw EIdSocketError(10061, u"Socket Error # 10061\r\nConnection refused.");
    throw EIdException(u"HTTP/1.1 400 Bad Request");
  };
  auto others = takeEveryDeepLCall();
  std::vector<std::future<std::u16string>> waiting;
  for (const char16_t* text : {u"a", u"b", u"c"})
    waiting.push_back(std::async(std::launch::async, [this, text] { return ask(text, u"en|de"); }));
  ASSERT_TRUE(WaitUntil([&] { return service->Batches().Waiting() == 3; }));
  held.Open();
  for (auto& call : others) EXPECT_EQ(call.get(), u"Bing");
  for (auto& call : waiting) EXPECT_EQ(call.get(), u"Bing");
  const std::vector<fakes::RecordedRequest> requests = deeplRequests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(std::count_if(requests.begin(), requests.end(),
                          [](const fakes::RecordedRequest& r) { return DeepLTexts(r).size() == 4; }),
            1);
  const std::vector<std::u16string> lines = log.Lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), u"DeepL: Socket Error # 10061\r\nConnection refused."), 3);
  // One call failed: DeepL rests as after one failure, not three.
  steady += 60 * kSecond - 1;
  EXPECT_TRUE(service->Rest().Resting(kDeepL));
  steady += 1;
  EXPECT_FALSE(service->Rest().Resting(kDeepL));
}

TEST_F(PooledCalls, AGatheredTextWhosePlaceholdersDeepLDamagesFailsOverAloneAndTheOthersStand) {
  make(4, TFailoverSettings{{kBing}, 2}, true, TProtectSettings{});
  choice.SetChecked(kDeepL);
  Meeting held;
  // The token of every text but the damaged one comes back.
  deepl = [&held](const fakes::RecordedRequest& request) {
    held.Arrive(1000);
    std::u16string reply = u"{\"translations\":[";
    const std::vector<std::string> texts = DeepLTexts(request);
    for (size_t i = 1; i < texts.size(); ++i) {
      std::u16string text = FromUtf8(texts[i]);
      if (text.starts_with(u"damaged")) text.erase(text.find(u"<x"));
      for (size_t at = 0; (at = text.find(u'"', at)) != std::u16string::npos; at += 2) text.insert(at, u"\\");
      reply += (i > 1 ? u",{\"text\":\"" : u"{\"text\":\"") + text + u"\"}";
    }
    return reply + u"]}";
  };
  auto others = takeEveryDeepLCall();
  std::vector<std::future<std::u16string>> waiting;
  for (const char16_t* text : {u"one {0}", u"damaged {0}", u"two {0}"})
    waiting.push_back(std::async(std::launch::async, [this, text] { return ask(text, u"en|de"); }));
  ASSERT_TRUE(WaitUntil([&] { return service->Batches().Waiting() == 3; }));
  held.Open();
  for (auto& call : others) call.get();
  EXPECT_EQ(waiting[0].get(), u"one {0}");
  // It alone went on to Bing, whose fixed reply has no token either: the first failure is its answer.
  EXPECT_EQ(waiting[1].get(), u"failed: Placeholders changed by DeepL: {0} missing");
  EXPECT_EQ(client.Requests().size(), 1u);
  EXPECT_EQ(waiting[2].get(), u"two {0}");
  EXPECT_EQ(deeplRequests().size(), 5u);
  EXPECT_TRUE(logged(u"DeepL: Placeholders changed by DeepL: {0} missing"));
  EXPECT_FALSE(service->Rest().Resting(kDeepL));
  const std::u16string tag = TProtectSettings{}.CacheTag();
  EXPECT_EQ(service->Cache()->Find({kDeepL, u"en", u"de", u"one {0}", tag}), u"one {0}");
  EXPECT_EQ(service->Cache()->Find({kDeepL, u"en", u"de", u"damaged {0}", tag}), std::nullopt);
}

}  // namespace
}  // namespace tessarine::translate
