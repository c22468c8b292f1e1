// Apertium's request and reply, the shared JSON reader in both of its forms, and the table of engines that
// exist only when configured, as the choice, the settings and the service use it.

#include "translate/apertium.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <new>
#include <set>

#include "common/exception.h"
#include "common/text.h"
#include "service_fakes.h"
#include "support/system_calls.h"
#include "translate/engine_choice.h"
#include "translate/libre_translate.h"
#include "translate/optional_engines.h"
#include "translate/service_settings.h"
#include "translate/translation_service.h"

// This program's heap in use and its peak, counted by the global operator new, for what a reply costs.
namespace {
std::atomic<size_t> g_heapInUse{0};
std::atomic<size_t> g_heapPeak{0};
}  // namespace

void* operator new(size_t size) {
  void* block = std::malloc(size ? size : 1);
  if (!block) throw std::bad_alloc();
  const size_t inUse = g_heapInUse += tessarine::test_support::HeapBlockSize(block);
  for (size_t peak = g_heapPeak; inUse > peak && !g_heapPeak.compare_exchange_weak(peak, inUse);) {
  }
  return block;
}
void operator delete(void* block) noexcept {
  if (!block) return;
  g_heapInUse -= tessarine::test_support::HeapBlockSize(block);
  std::free(block);
}
void operator delete(void* block, size_t) noexcept { operator delete(block); }

namespace tessarine::translate {
namespace {

// The heap's peak since construction, above what was in use then.
struct HeapPeak {
  const size_t start = g_heapPeak = g_heapInUse.load();
  size_t BytesAbove() const { return g_heapPeak - start; }
};

const TEngineEndpoint kLocal = TEngineEndpoint::Parse(u"127.0.0.1", u"", kApertiumDefaultPort);

std::string BodyOf(const TEngineRequest& request) { return std::string(request.Body->begin(), request.Body->end()); }

TEST(ApertiumRequest, ShortTextsAreAGetWithEverythingPercentEncoded) {
  EXPECT_EQ(kLocal.Host, u"127.0.0.1:2737");
  const TEngineRequest hello = BuildApertiumRequest(kLocal, u"Hello world", u"es", u"en");
  EXPECT_EQ(hello.Url, u"http://127.0.0.1:2737/translate?q=Hello%20world&langpair=en%7Ces&markUnknown=no");
  EXPECT_TRUE(hello.CustomHeaders.empty());
  EXPECT_FALSE(hello.Body);

  // UTF-8 escapes for every reserved character, an escape already in the text included; codes too.
  const TEngineRequest awkward =
      BuildApertiumRequest(kLocal, u"\u00bfA&b=c+d? 100%25 \u0416\U0001F600~", u"e s", u"en&x");
  EXPECT_EQ(awkward.Url,
            u"http://127.0.0.1:2737/translate?q=%C2%BFA%26b%3Dc%2Bd%3F%20100%2525%20%D0%96%F0%9F%98%80~"
            u"&langpair=en%26x%7Ce%20s&markUnknown=no");
}

TEST(ApertiumRequest, LongTextsAreAFormPostOfTheSameQuery) {
  // "/translate?" + "q=" + text + "&langpair=en%7Ces&markUnknown=no" is the target.
  const size_t fixed = std::u16string_view(u"/translate?q=&langpair=en%7Ces&markUnknown=no").size();
  const std::u16string longest(kApertiumLongestGetTarget - fixed, u'a');
  const TEngineRequest get = BuildApertiumRequest(kLocal, longest, u"es", u"en");
  EXPECT_FALSE(get.Body);
  EXPECT_EQ(get.Url.size() - std::u16string_view(u"http://127.0.0.1:2737").size(), kApertiumLongestGetTarget);

  const TEngineRequest post = BuildApertiumRequest(kLocal, longest + u"\u00f1", u"es", u"en");
  EXPECT_EQ(post.Url, u"http://127.0.0.1:2737/translate");
  EXPECT_EQ(post.CustomHeaders, (std::vector<std::pair<std::u16string, std::u16string>>{
                                    {u"Content-Type", u"application/x-www-form-urlencoded"}}));
  ASSERT_TRUE(post.Body);
  EXPECT_EQ(BodyOf(post), "q=" + std::string(longest.size(), 'a') + "%C3%B1&langpair=en%7Ces&markUnknown=no");
}

TEST(ApertiumEndpoint, AHostWithoutPortGetsTheServicePort) {
  EXPECT_EQ(TEngineEndpoint::Parse(u"localhost", u"", kApertiumDefaultPort).Host, u"localhost:2737");
  EXPECT_EQ(TEngineEndpoint::Parse(u"[::1]", u"", kApertiumDefaultPort).Host, u"[::1]:2737");
  EXPECT_EQ(TEngineEndpoint::Parse(u"[::1]:8000/", u"", kApertiumDefaultPort).Host, u"[::1]:8000");
  const TEngineEndpoint secure = TEngineEndpoint::Parse(u"HTTPS://mt.example.org", u"", kApertiumDefaultPort);
  EXPECT_TRUE(secure.Https);
  EXPECT_EQ(secure.Origin(), u"https://mt.example.org:2737");
  // Without a default port the scheme's stays, as LibreTranslate has it.
  EXPECT_EQ(TEngineEndpoint::Parse(u"lt.local", u"").Host, u"lt.local");
  for (const char16_t* bad : {u"", u"localhost:", u"localhost:70000", u"[::1", u"http://a/b", u"a b"}) {
    EXPECT_THROW(TEngineEndpoint::Parse(bad, u"", kApertiumDefaultPort), Exception) << ToUtf8(bad);
  }
}

TEST(ApertiumReply, TheTranslationComesOutAsCharactersWhicheverWayTheReplyWasRead) {
  const std::u16string characters = u"Ni\u00f1o \u0416\U0001F600";
  // Decoded by its charset (the real service: "application/json; charset=UTF-8", raw UTF-8 strings).
  const std::u16string decoded =
      u"{\"responseData\": {\"translatedText\": \"Ni\u00f1o \u0416\U0001F600\"}, \"responseDetails\": null, "
      u"\"responseStatus\": 200}";
  EXPECT_EQ(ExtractApertiumTranslation(decoded, TReplyText::Characters), characters);
  // Read one character per byte (no charset): the UTF-8 bytes are decoded.
  const std::u16string bytes =
      u"{\"responseData\": {\"translatedText\": \"" + Widen("Ni\xC3\xB1o \xD0\x96\xF0\x9F\x98\x80") + u"\"}}";
  EXPECT_EQ(ExtractApertiumTranslation(bytes, TReplyText::Bytes), characters);
  // Escapes, surrogate pairs included, in either form.
  const std::u16string escaped = u"{\"responseData\":{\"translatedText\":\"Ni\\u00f1o \\u0416\\ud83d\\ude00\"}}";
  EXPECT_EQ(ExtractApertiumTranslation(escaped, TReplyText::Characters), characters);
  EXPECT_EQ(ExtractApertiumTranslation(escaped, TReplyText::Bytes), characters);
  // Members elsewhere of the same name do not count.
  EXPECT_EQ(ExtractApertiumTranslation(u"{\"translatedText\":\"no\",\"responseData\":{\"x\":[{\"translatedText\":"
                                       u"\"no\"}],\"translatedText\":\"yes\"}}",
                                       TReplyText::Characters),
            u"yes");

  // LibreTranslate's reader is the same.
  EXPECT_EQ(ExtractLibreTranslation(u"{\"translatedText\":\"\u00e9\"}", TReplyText::Characters), u"\u00e9");
  EXPECT_EQ(ExtractLibreTranslation(u"{\"translatedText\":\"\xC3\xA9\"}"), u"\u00e9");

  EXPECT_EQ(ReplyTextOf(u"UTF-8"), TReplyText::Characters);
  EXPECT_EQ(ReplyTextOf(u" utf-16le"), TReplyText::Characters);
  // An 8-bit charset other than Latin-1 decodes to characters too: the upstream client names only those.
  EXPECT_EQ(ReplyTextOf(u"windows-1251"), TReplyText::Characters);
  EXPECT_EQ(ReplyTextOf(u"ISO-8859-1"), TReplyText::Bytes);
  EXPECT_EQ(ReplyTextOf(u""), TReplyText::Bytes);
}

// A reply may be as large as the client takes (16 MiB); the reader keeps only what it looks at.
TEST(ApertiumReply, WhatTheReaderKeepsIsBounded) {
  std::u16string zeros = u"{\"a\":[0";
  while (zeros.size() < (size_t{4} << 20)) zeros += u",0,[0],{\"b\":0}";
  zeros += u"], \"responseData\": {\"translatedText\": \"";
  const size_t head = zeros.size();
  zeros += std::u16string(size_t{1} << 20, u'x') + u"\"}}";
  const HeapPeak peak;
  EXPECT_EQ(ExtractApertiumTranslation(zeros, TReplyText::Bytes).size(), zeros.size() - head - 3);
  // The translation itself (2 MiB) and little more.
  EXPECT_LT(peak.BytesAbove(), size_t{3} << 20);

  // Pairs as the real service lists them, hundreds of them; past kJsonKeptItems they are left out.
  std::u16string pairs = u"{\"responseData\": [";
  for (size_t i = 0; i < kJsonKeptItems + 5; ++i)
    pairs += u"{\"sourceLanguage\": \"e" + IntToStr(static_cast<long long>(i)) + u"\", \"targetLanguage\": \"spa\"},";
  pairs.back() = u']';
  pairs += u"}";
  const std::vector<std::u16string> listed = ApertiumPairs(pairs, TReplyText::Characters);
  ASSERT_EQ(listed.size(), kJsonKeptItems);
  EXPECT_EQ(listed.back(), u"e" + IntToStr(static_cast<long long>(kJsonKeptItems - 1)) + u"|spa");
}

TEST(ApertiumReply, ErrorsSayWhatWentWrong) {
  auto messageOf = [](std::u16string_view reply) {
    try {
      ExtractApertiumTranslation(reply, TReplyText::Characters);
    } catch (const Exception& e) {
      return e.Message();
    }
    return std::u16string(u"no exception");
  };
  const std::u16string refusal =
      u"{\"status\": \"error\", \"code\": 400, \"message\": \"Bad Request\", \"explanation\": \"That pair is not "
      u"installed\"}";
  EXPECT_EQ(messageOf(refusal), u"That pair is not installed");
  EXPECT_EQ(ApertiumRefusal(refusal, TReplyText::Characters), u"That pair is not installed");
  // An explanation with characters beyond ASCII stays text, as a message must.
  EXPECT_EQ(ApertiumRefusal(u"{\"explanation\":\"Par no instalado: \u00f1\"}", TReplyText::Characters),
            u"Par no instalado: \u00f1");
  EXPECT_EQ(ApertiumRefusal(u"{\"explanation\":\"\\u00f1\"}", TReplyText::Bytes), u"\u00f1");
  for (const char16_t* none : {u"<html>502 Bad Gateway</html>", u"{\"explanation\":\"\"}", u"{\"explanation\":7}"}) {
    EXPECT_EQ(ApertiumRefusal(none, TReplyText::Characters), std::nullopt) << ToUtf8(none);
  }
  EXPECT_EQ(messageOf(u"{\"responseData\": null, \"responseStatus\": 200}"),
            u"Apertium: the reply holds no translatedText");
  for (const char16_t* garbage :
       {u"", u"Hola Mundo", u"{\"responseData\": {\"translatedText\": \"Hola", u"{\"responseData\":{}} trailing"}) {
    EXPECT_EQ(messageOf(garbage), u"Apertium: the reply is not JSON") << ToUtf8(garbage);
  }
}

TEST(ApertiumReply, PairsListedByTheService) {
  EXPECT_EQ(ApertiumPairs(u"{\"responseData\": [{\"sourceLanguage\": \"spa\", \"targetLanguage\": \"eng\"}, "
                          u"{\"sourceLanguage\": \"eng\", \"targetLanguage\": \"spa\"}, {\"odd\": 1}], "
                          u"\"responseDetails\": null, \"responseStatus\": 200}",
                          TReplyText::Characters),
            (std::vector<std::u16string>{u"spa|eng", u"eng|spa"}));
  EXPECT_TRUE(ApertiumPairs(u"{\"responseData\": []}", TReplyText::Characters).empty());
  EXPECT_THROW(ApertiumPairs(u"Not Found", TReplyText::Characters), Exception);
}

TEST(OptionalEngines, TheTableIsWhatEveryListOfEnginesFollows) {
  std::set<std::u16string_view> names;
  int index = kEngineCount - 1;
  for (const TOptionalEngine& engine : OptionalEngines()) {
    // In index order; an index kept for an engine still to come has no entry yet.
    EXPECT_GT(engine.Index, index);
    EXPECT_LT(engine.Index, kAllEngineCount);
    index = engine.Index;
    EXPECT_EQ(FindOptionalEngine(engine.Index), &engine);
    EXPECT_EQ(EngineName(engine.Index), engine.Name);
    EXPECT_EQ(EngineIndexByName(LowerCaseAscii(engine.Name)), engine.Index);
    EXPECT_TRUE(engine.BuildRequest && engine.ReadReply && !engine.Picture.empty());
    EXPECT_TRUE(names.insert(engine.Name).second);
  }
  EXPECT_EQ(FindOptionalEngine(kPromt), nullptr);
  EXPECT_EQ(FindOptionalEngine(kAllEngineCount), nullptr);
  EXPECT_EQ(EngineName(kApertium), u"Apertium");
  EXPECT_EQ(VisibleEngines({kLLM, kGoogleCloud, kDeepL, kMicrosoft, kApertium, kYandexCloud, kLibreTranslate}),
            (std::vector<int>{kGoogle, kBing, kYandex, kBabylon, kPromt, kLibreTranslate, kApertium, kDeepL, kMicrosoft,
                              kGoogleCloud, kYandexCloud, kLLM}));
  EXPECT_EQ(VisibleEngines({kApertium}), (std::vector<int>{kGoogle, kBing, kYandex, kBabylon, kPromt, kApertium}));
}

TEST(OptionalEngines, OnlyTheConfiguredOnesCanBeChosen) {
  TEngineChoice choice;
  EXPECT_THROW(choice.AddOptionalEngine(kPromt, true), Exception);
  choice.AddOptionalEngine(kApertium, false);
  EXPECT_TRUE(choice.HasEngine(kApertium));
  EXPECT_FALSE(choice.HasEngine(kLibreTranslate));
  // Positions stay engine indexes: the missing LibreTranslate is an empty, unchecked place.
  std::vector<TEngineItem> items = choice.AllItems();
  ASSERT_EQ(items.size(), 8u);
  EXPECT_EQ(items[kLibreTranslate].Caption, u"");
  EXPECT_EQ(items[kApertium].Caption, u"Apertium");
  EXPECT_THROW(choice.SetChecked(kLibreTranslate), Exception);
  choice.SetChecked(kApertium);
  items = choice.AllItems();
  EXPECT_TRUE(items[kApertium].Checked);
  EXPECT_FALSE(items[kGoogle].Checked || items[kLibreTranslate].Checked);
  choice.SetChecked(kBing);
  EXPECT_FALSE(choice.AllItems()[kApertium].Checked);
}

class ApertiumSettings : public fakes::FakeSettingsTest {
 protected:
  fakes::FakeLogSink log;
};

TEST_F(ApertiumSettings, ItsHostMakesItAndFailoverNamesItOnlyThen) {
  EXPECT_FALSE(ReadEngineEndpoint(access(), kApertium));
  values[u"Engines/LibreTranslateKey"] = u"not Apertium's";
  values[u"Engines/Apertium"] = u" localhost ";
  const auto endpoint = ReadEngineEndpoint(access(), kApertium);
  ASSERT_TRUE(endpoint);
  EXPECT_EQ(endpoint->Origin(), u"http://localhost:2737");
  EXPECT_EQ(endpoint->ApiKey, u"");
  EXPECT_FALSE(ReadEngineEndpoint(access(), kPromt));
  values[u"Engines/Apertium"] = u"localhost:2737/translate";
  EXPECT_THROW(ReadEngineEndpoint(access(), kApertium), Exception);

  values[u"Failover/Enabled"] = u"1";
  values[u"Failover/Order"] = u"apertium, Bing";
  EXPECT_EQ(ReadFailoverSettings(access(), {kApertium}, log)->Order, (std::vector<int>{kApertium, kBing}));
  EXPECT_EQ(ReadFailoverSettings(access(), {kLibreTranslate}, log)->Order, std::vector<int>{kBing});
  EXPECT_EQ(log.Lines(), std::vector<std::u16string>{u"Failover: unknown engine \"apertium\" in Order is skipped"});
  values.erase(u"Failover/Order");
  EXPECT_EQ(ReadFailoverSettings(access(), {kApertium}, log)->Order.back(), kApertium);
}

class ApertiumService : public ::testing::Test {
 protected:
  ApertiumService() {
    choice.AddOptionalEngine(kApertium, false);
    TServiceExtras extras;
    extras.Endpoints[kApertium] = TEngineEndpoint::Parse(u"127.0.0.1", u"", kApertiumDefaultPort);
    service = std::make_unique<TTranslationService>(client, log, choice, babylon, TEngineHosts(), std::move(extras));
  }

  // The local endpoint's answer, or the message of the failure that leaves it.
  std::u16string ask(const std::u16string& langpair) {
    fakes::FakeRequestInfo request;
    request.Query = {u"text=Hello", u"langpair=" + langpair};
    fakes::FakeResponseInfo response;
    try {
      service->IdHTTPServer1CommandGet(request, response);
    } catch (const Exception& e) {
      return u"failed: " + e.Message();
    }
    return response.Content;
  }

  fakes::FakeUpstreamClient client;
  fakes::FakeLogSink log;
  TEngineChoice choice;
  TBabylonTable babylon;
  std::unique_ptr<TTranslationService> service;
};

TEST_F(ApertiumService, ChosenItAnswersAndItsRefusalIsExplained) {
  choice.SetChecked(kApertium);
  client.CharSet = u"UTF-8";
  client.Reply = [](const fakes::RecordedRequest&) {
    return u"{\"responseData\": {\"translatedText\": \"Hola \u00f1\"}, \"responseStatus\": 200}";
  };
  EXPECT_NE(ask(u"en|es").find(Widen("Hola \xC3\xB1")), std::u16string::npos);
  ASSERT_EQ(client.Requests().size(), 1u);
  EXPECT_EQ(client.Requests()[0].Url, u"http://127.0.0.1:2737/translate?q=Hello&langpair=en%7Ces&markUnknown=no");
  EXPECT_EQ(log.Lines()[5], u"Apertium");

  // A refusal the service explains: the explanation is the message, and the log names the engine.
  client.RefusedBody = u"{\"status\": \"error\", \"code\": 400, \"explanation\": \"That pair is not installed\"}";
  client.Reply = [](const fakes::RecordedRequest&) -> std::u16string {
    throw EIdException(u"HTTP/1.1 400 Bad Request");
  };
  log.Clear();
  EXPECT_EQ(ask(u"en|ru"), u"failed: That pair is not installed");
  EXPECT_EQ(log.Lines().back(), u"Apertium: That pair is not installed");
  // Something in between that answers with a page of its own keeps its status line.
  client.RefusedBody = u"<html>502 Bad Gateway</html>";
  EXPECT_EQ(ask(u"en|ru"), u"failed: HTTP/1.1 400 Bad Request");
  // A failure that is no refusal at all (no body kept) passes through as it is.
  client.RefusedBody.reset();
  EXPECT_EQ(ask(u"en|ru"), u"failed: HTTP/1.1 400 Bad Request");
}

TEST_F(ApertiumService, WithFailoverARefusedPairGoesToTheNextEngineWithoutRestingApertium) {
  choice.SetChecked(kApertium);
  TServiceExtras extras;
  extras.Endpoints[kApertium] = TEngineEndpoint::Parse(u"127.0.0.1", u"", kApertiumDefaultPort);
  extras.Failover = TFailoverSettings{{kBing}, 2};
  TTranslationService failover(client, log, choice, babylon, TEngineHosts(), std::move(extras));
  client.CharSet = u"UTF-8";
  client.Reply = [this](const fakes::RecordedRequest& request) -> std::u16string {
    if (request.Url.find(u"/v2/ajax.svc/") != std::u16string::npos) return u"\"Bing\"";
    if (request.Url.find(u"%7Cru") == std::u16string::npos) return u"{\"responseData\":{\"translatedText\":\"Hola\"}}";
    client.RefusedBody = u"{\"explanation\": \"That pair is not installed\"}";
    throw EIdException(u"HTTP/1.1 400 Bad Request");
  };
  auto ask = [&](const std::u16string& langpair) {
    client.RefusedBody.reset();
    fakes::FakeRequestInfo request;
    request.Query = {u"text=Hello", u"langpair=" + langpair};
    fakes::FakeResponseInfo response;
    failover.IdHTTPServer1CommandGet(request, response);
    return response.Content;
  };
  EXPECT_NE(ask(u"en|ru").find(u"Bing"), std::u16string::npos);
  EXPECT_FALSE(failover.Rest().Resting(kApertium));
  EXPECT_NE(ask(u"en|es").find(u"Hola"), std::u16string::npos);
  EXPECT_EQ(client.Requests().size(), 3u);  // Apertium, Bing, Apertium
}

TEST_F(ApertiumService, UnconfiguredItIsNeverAsked) {
  TTranslationService without(client, log, choice, babylon, TEngineHosts());
  EXPECT_EQ(without.translateget(u"Hello", u"es", u"en", kApertium, u"UTF-8"), u"");
  EXPECT_EQ(without.Endpoint(kApertium), nullptr);
  EXPECT_TRUE(client.Requests().empty());
  ASSERT_NE(service->Endpoint(kApertium), nullptr);
  EXPECT_EQ(service->Endpoint(kLibreTranslate), nullptr);
}

}  // namespace
}  // namespace tessarine::translate
