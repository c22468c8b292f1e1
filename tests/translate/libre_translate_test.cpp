// The self-hosted engine's request and reply, and the settings that switch the optional parts on.

#include <gtest/gtest.h>

#include <map>

#include "common/exception.h"
#include "common/text.h"
#include "service_fakes.h"
#include "translate/engine_choice.h"
#include "translate/libre_translate.h"
#include "translate/service_settings.h"
#include "translate/translation_service.h"

namespace tessarine::translate {
namespace {

std::string BodyOf(const TEngineRequest& request) { return std::string(request.Body->begin(), request.Body->end()); }

TEST(LibreTranslate, RequestIsAJsonPostToTranslate) {
  const auto config = TEngineEndpoint::Parse(u"127.0.0.1:5000", u"");
  const TEngineRequest plain = BuildLibreTranslateRequest(config, u"Hello \"big\"\\ \u0416\n\x01", u"de", u"en");
  EXPECT_EQ(plain.Url, u"http://127.0.0.1:5000/translate");
  EXPECT_EQ(plain.CustomHeaders,
            (std::vector<std::pair<std::u16string, std::u16string>>{{u"Content-Type", u"application/json"}}));
  EXPECT_EQ(BodyOf(plain),
            "{\"q\":\"Hello \\\"big\\\"\\\\ \xD0\x96\\n\\u0001\",\"source\":\"en\",\"target\":\"de\","
            "\"format\":\"text\"}");

  const auto keyed = TEngineEndpoint::Parse(u"https://lt.example.org/", u"k\"1");
  EXPECT_TRUE(keyed.Https);
  const TEngineRequest secure = BuildLibreTranslateRequest(keyed, u"a", u"de", u"auto");
  EXPECT_EQ(secure.Url, u"https://lt.example.org/translate");
  EXPECT_EQ(BodyOf(secure),
            "{\"q\":\"a\",\"source\":\"auto\",\"target\":\"de\",\"format\":\"text\",\"api_key\":\"k\\\"1\"}");
  // Only the keyed request is held to its origin.
  EXPECT_FALSE(plain.CarriesCredentials);
  EXPECT_TRUE(secure.CarriesCredentials);

  for (const char16_t* bad : {u"http://", u"lt.example.org/path", u"host:0", u"ftp://host", u"a b"}) {
    EXPECT_THROW(TEngineEndpoint::Parse(bad, u""), Exception) << ToUtf8(bad);
  }
}

TEST(LibreTranslate, ReplyGivesTranslatedTextAsCharacters) {
  EXPECT_EQ(ExtractLibreTranslation(u"{\"translatedText\":\"Hallo\"}"), u"Hallo");
  // Members before and after, of every kind, are skipped; blanks and a byte-order mark are allowed.
  EXPECT_EQ(ExtractLibreTranslation(u"\uFEFF { \"detected\": {\"language\":\"en\",\"confidence\":[1.5e3,-2,true,"
                                    u"null]}, \"translatedText\" : \"a\\\"b\\\\c\\/d\\n\" , \"x\":false }"),
            u"a\"b\\c/d\n");
  // Escapes, characters above U+00FF and, in a reply read byte by byte, raw UTF-8 all give the characters.
  EXPECT_EQ(ExtractLibreTranslation(u"{\"translatedText\":\"\\u0416\\u00e9\\ud83d\\ude00\"}"),
            u"\u0416\u00e9\U0001F600");
  EXPECT_EQ(ExtractLibreTranslation(u"{\"translatedText\":\"\u0416\"}"), u"\u0416");
  EXPECT_EQ(ExtractLibreTranslation(u"{\"translatedText\":\"\u00D0\u0096\"}"), u"\u0416");
  try {
    ExtractLibreTranslation(u"{\"error\":\"Invalid API key\"}");
    ADD_FAILURE() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"LibreTranslate: Invalid API key");
  }

  for (const char16_t* bad :
       {u"", u"<html>Too many requests</html>", u"[\"translatedText\"]", u"{\"translatedText\":\"a\"", u"{\"a\":1}",
        u"{\"translatedText\":5}", u"{\"translatedText\":\"a\\q\"}", u"{\"translatedText\":\"a\"} x",
        u"{\"error\":\"Invalid API key\"}"}) {
    EXPECT_THROW(ExtractLibreTranslation(bad), Exception) << ToUtf8(bad);
  }
  // Deep nesting ends in an error, not a crash.
  EXPECT_THROW(ExtractLibreTranslation(u"{\"a\":" + std::u16string(100000, u'[')), Exception);
}

TEST(LibreTranslate, TheServiceCallsItOnlyWhenConfigured) {
  fakes::FakeUpstreamClient client;
  client.Reply = [](const fakes::RecordedRequest&) { return u"{\"translatedText\":\"Hallo\"}"; };
  fakes::FakeLogSink log;
  TEngineChoice choice;
  TBabylonTable babylon;
  TTranslationService without(client, log, choice, babylon, TEngineHosts());
  EXPECT_EQ(without.translateget(u"Hello", u"de", u"en", kLibreTranslate, u"UTF-8"), u"");
  EXPECT_TRUE(client.Requests().empty());

  TServiceExtras extras;
  extras.Endpoints[kLibreTranslate] = TEngineEndpoint::Parse(u"[::1]:5000", u"secret");
  TTranslationService with(client, log, choice, babylon, TEngineHosts(), std::move(extras));
  EXPECT_EQ(with.translateget(u"Hello", u"de", u"en", kLibreTranslate, u"UTF-8"), u"Hallo");
  ASSERT_EQ(client.Requests().size(), 1u);
  EXPECT_EQ(client.Requests()[0].Method, u"POST");
  EXPECT_EQ(client.Requests()[0].Url, u"http://[::1]:5000/translate");
  EXPECT_EQ(client.Requests()[0].HeaderLines, std::vector<std::u16string>{u"Content-Type: application/json"});

  // Chosen in the menu, it answers the endpoint.
  choice.AddOptionalEngine(kLibreTranslate, false);
  EXPECT_THROW(TEngineChoice().SetChecked(kLibreTranslate), Exception);
  choice.SetChecked(kLibreTranslate);
  EXPECT_FALSE(choice.Snapshot()[kGoogle].Checked);
  fakes::FakeRequestInfo request;
  request.Query = {u"text=Hello", u"langpair=en|de"};
  fakes::FakeResponseInfo response;
  with.IdHTTPServer1CommandGet(request, response);
  EXPECT_NE(response.Content.find(u"Hallo"), std::u16string::npos);
  EXPECT_EQ(log.Lines()[5], u"LibreTranslate");

  // A reply that is not its JSON fails the request; the log names the engine once.
  client.Reply = [](const fakes::RecordedRequest&) { return u"<html>busy</html>"; };
  EXPECT_THROW(with.IdHTTPServer1CommandGet(request, response), Exception);
  EXPECT_EQ(log.Lines().back(), u"LibreTranslate: the reply is not JSON");

  // The keyed call tells the client so, and a key the client withheld is this engine's failure.
  EXPECT_TRUE(client.Requests().back().CarriesCredentials);
  client.Reply = [](const fakes::RecordedRequest&) -> std::u16string {
    throw ECredentialsWithheld(
        u"the reply redirects to another host (evil.example); a request with a key is not sent there");
  };
  const std::u16string withheld =
      u"LibreTranslate: the reply redirects to another host (evil.example); a request with a key is not sent there";
  try {
    with.IdHTTPServer1CommandGet(request, response);
    ADD_FAILURE() << "nothing raised";
  } catch (const ECredentialsWithheld& e) {
    EXPECT_EQ(e.Message(), withheld);
  }
  EXPECT_EQ(log.Lines().back(), withheld);
  // The next engine's call through the same client carries nothing.
  client.Reply = [](const fakes::RecordedRequest&) { return u""; };
  with.translateget(u"Hello", u"de", u"en", kGoogle, u"UTF-8");
  EXPECT_FALSE(client.Requests().back().CarriesCredentials);
}

class Settings : public fakes::FakeSettingsTest {
 protected:
  fakes::FakeLogSink log;
};

TEST_F(Settings, EverythingIsOffWithoutItsKeys) {
  EXPECT_FALSE(ReadEngineEndpoint(access(), kLibreTranslate));
  EXPECT_FALSE(ReadCacheSettings(access(), "/x/translations.sqlite", log));
  EXPECT_FALSE(ReadFailoverSettings(access(), {}, log));
  EXPECT_FALSE(ReadProtectSettings(access()));
  values[u"Cache/MaxEntries"] = u"5";
  values[u"Failover/Order"] = u"Bing";
  values[u"Protect/Terms"] = u"Tessarine";
  values[u"Engines/LibreTranslateKey"] = u"k";
  EXPECT_FALSE(ReadEngineEndpoint(access(), kLibreTranslate));
  EXPECT_FALSE(ReadCacheSettings(access(), "/x/translations.sqlite", log));
  EXPECT_FALSE(ReadFailoverSettings(access(), {}, log));
  EXPECT_FALSE(ReadProtectSettings(access()));
  EXPECT_TRUE(log.Lines().empty());
  values[u"Protect/Enabled"] = u"1";
  EXPECT_EQ(ReadProtectSettings(access())->Terms, std::vector<std::u16string>{u"Tessarine"});
}

TEST_F(Settings, CacheNumbersThatAreNotPositiveGiveTheDefaultAndOneLine) {
  values[u"Cache/Enabled"] = u"1";
  auto cache = ReadCacheSettings(access(), "/x/translations.sqlite", log);
  ASSERT_TRUE(cache);
  EXPECT_EQ(cache->MaxEntries, 10000);
  EXPECT_EQ(cache->MaxAgeDays, 30);
  EXPECT_EQ(cache->DatabasePath, "");
  values[u"Cache/Persist"] = u"1";
  values[u"Cache/MaxEntries"] = u" 250 ";
  values[u"Cache/MaxAgeDays"] = u"0";
  cache = ReadCacheSettings(access(), "/x/translations.sqlite", log);
  EXPECT_EQ(cache->MaxEntries, 250);
  EXPECT_EQ(cache->MaxAgeDays, 30);
  EXPECT_EQ(cache->DatabasePath, "/x/translations.sqlite");
  EXPECT_EQ(log.Lines(), std::vector<std::u16string>{u"Cache: MaxAgeDays=0 is not a positive number; 30 is used"});
  for (const char16_t* bad : {u"-1", u"1e3", u"ten", u"2147483648", u"0x10", u"+5"}) {
    EXPECT_EQ(ParsePositive(bad), std::nullopt) << ToUtf8(bad);
  }
  EXPECT_EQ(ParsePositive(u"2147483647"), 2147483647);
}

TEST_F(Settings, FailoverOrderDefaultsToTheMenuAndSkipsUnknownNames) {
  values[u"Failover/Enabled"] = u"1";
  auto failover = ReadFailoverSettings(access(), {}, log);
  ASSERT_TRUE(failover);
  EXPECT_EQ(failover->Order, (std::vector<int>{kGoogle, kBing, kYandex, kBabylon, kPromt}));
  EXPECT_EQ(failover->MaxTries, 3);
  EXPECT_EQ(ReadFailoverSettings(access(), {kLibreTranslate}, log)->Order.back(), kLibreTranslate);

  values[u"Failover/Order"] = u"yandex, Altavista,,SYSTRAN LibreTranslate";
  values[u"Failover/MaxTries"] = u"many";
  failover = ReadFailoverSettings(access(), {}, log);
  EXPECT_EQ(failover->Order, (std::vector<int>{kYandex, kSystran}));
  EXPECT_EQ(failover->MaxTries, 3);
  EXPECT_EQ(log.Lines(),
            (std::vector<std::u16string>{u"Failover: MaxTries=many is not a positive number; 3 is used",
                                         u"Failover: unknown engine \"Altavista\" in Order is skipped",
                                         u"Failover: unknown engine \"LibreTranslate\" in Order is skipped"}));
}

TEST_F(Settings, TheSelfHostedEngineNeedsAUsableHost) {
  values[u"Engines/LibreTranslate"] = u"lt.local:5000";
  values[u"Engines/LibreTranslateKey"] = u"key";
  const auto config = ReadEngineEndpoint(access(), kLibreTranslate);
  ASSERT_TRUE(config);
  EXPECT_EQ(config->Host, u"lt.local:5000");
  EXPECT_EQ(config->ApiKey, u"key");
  values[u"Engines/LibreTranslate"] = u"lt.local:99999";
  EXPECT_THROW(ReadEngineEndpoint(access(), kLibreTranslate), Exception);
}

}  // namespace
}  // namespace tessarine::translate
