// DeepL: its request, the language codes, its reply and refusals, its settings, and its failures through the
// service (what rests it and for how long, and the key kept out of every message).

#include "translate/deepl.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "common/exception.h"
#include "common/text.h"
#include "keyed_engine_fixture.h"
#include "refusal_cases.h"
#include "service_fakes.h"
#include "support/mini_json.h"
#include "support/system_calls.h"
#include "translate/engine_choice.h"
#include "translate/service_settings.h"
#include "translate/text_codecs.h"
#include "translate/translation_service.h"

namespace tessarine::translate {
namespace {

using test_support::Json;

constexpr char16_t kKey[] = u"5c1e2f4a-93b7-4d1e-a2c6-7f0e9b3d8a21:fx";

std::string BodyOf(const TEngineRequest& request) { return std::string(request.Body->begin(), request.Body->end()); }

TEST(DeepLRequest, AJsonPostWithTheKeyInItsHeaderOnly) {
  const auto endpoint = TEngineEndpoint::Parse(u"api-free.deepl.com", kKey, 0, {.HttpsByDefault = true});
  const std::vector<std::u16string> texts = {u"Hello \"big\"\\ \u0416\n", u"Open &File"};
  const TEngineRequest request = BuildDeepLRequest(endpoint, texts, u"zh-TW", u"en-US");
  EXPECT_EQ(request.Url, u"https://api-free.deepl.com/v2/translate");
  EXPECT_EQ(request.CustomHeaders, (std::vector<std::pair<std::u16string, std::u16string>>{
                                       {u"Content-Type", u"application/json"},
                                       {u"Authorization", u"DeepL-Auth-Key " + std::u16string(kKey)}}));
  EXPECT_TRUE(request.CarriesCredentials);
  const std::string body = BodyOf(request);
  EXPECT_EQ(body,
            "{\"text\":[\"Hello \\\"big\\\"\\\\ \xD0\x96\\n\",\"Open &File\"],\"source_lang\":\"EN\","
            "\"target_lang\":\"ZH-HANT\"}");
  // What the limits count is what the body holds of the texts.
  EXPECT_EQ(body.size(), std::string("{\"text\":[],\"source_lang\":\"EN\",\"target_lang\":\"ZH-HANT\"}").size() - 1 +
                             DeepLTextBytes(texts[0]) + DeepLTextBytes(texts[1]));
  // Left to DeepL to detect, the source is not named.
  EXPECT_EQ(BodyOf(BuildDeepLRequest(endpoint, std::vector<std::u16string>{u"a"}, u"de", u"auto")),
            "{\"text\":[\"a\"],\"target_lang\":\"DE\"}");
  // Texts carrying protected pieces as x elements: DeepL is told to read XML and leave those alone.
  EXPECT_EQ(BodyOf(BuildDeepLRequest(endpoint, std::vector<std::u16string>{u"a"}, u"de", u"auto", TTextFormat::Markup)),
            "{\"text\":[\"a\"],\"target_lang\":\"DE\",\"tag_handling\":\"xml\",\"ignore_tags\":[\"x\"]}");
}

TEST(DeepLCodes, SourcesAreBaseCodesAndTargetsTheVariantDeepLNeeds) {
  const struct {
    const char16_t* suite;
    const char16_t* source;
    const char16_t* target;
  } cases[] = {
      {u"en", u"EN", u"EN-US"},        {u"en-US", u"EN", u"EN-US"},
      {u"EN_gb", u"EN", u"EN-GB"},     {u"en-AU", u"EN", u"EN-GB"},
      {u"en-CA", u"EN", u"EN-US"},     {u"pt", u"PT", u"PT-PT"},
      {u"pt-BR", u"PT", u"PT-BR"},     {u"pt_pt", u"PT", u"PT-PT"},
      {u"zh", u"ZH", u"ZH-HANS"},      {u"zh-CN", u"ZH", u"ZH-HANS"},
      {u"zh-Hans", u"ZH", u"ZH-HANS"}, {u"zh-TW", u"ZH", u"ZH-HANT"},
      {u"zh-HK", u"ZH", u"ZH-HANT"},   {u"zh-Hant-TW", u"ZH", u"ZH-HANT"},
      {u"de", u"DE", u"DE"},           {u"de-AT", u"DE", u"DE"},
      {u"ru", u"RU", u"RU"},           {u"no", u"NB", u"NB"},
      {u"auto", u"", u"AUTO"},         {u"", u"", u""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DeepLSourceCode(c.suite), c.source) << ToUtf8(c.suite);
    EXPECT_EQ(DeepLTargetCode(c.suite), c.target) << ToUtf8(c.suite);
  }
}

TEST(DeepLReply, OneTranslationPerTextInOrder) {
  EXPECT_EQ(ExtractDeepLTranslations(u"\uFEFF{\"translations\":[{\"detected_source_language\":\"EN\",\"text\":\"Hallo"
                                     u"\"},{\"text\":\"\\u0416 \u00D0\u0096\"}],\"x\":1}",
                                     TReplyText::Bytes, 2),
            (std::vector<std::u16string>{u"Hallo", u"\u0416 \u0416"}));
  const struct {
    const char16_t* reply;
    const char16_t* message;
  } failures[] = {
      {u"<html>busy</html>", u"DeepL: the reply is not JSON"},
      {u"{\"translations\":[{\"text\":\"a\"}]}", u"DeepL: the reply holds 1 translations for 2 texts"},
      {u"{\"translations\":[{\"text\":\"a\"},{\"detected_source_language\":\"EN\"}]}",
       u"DeepL: a translation of the reply holds no text"},
      {u"{\"message\":\"Too many requests\"}", u"DeepL: Too many requests"},
      {u"{}", u"DeepL: the reply holds no translations"},
  };
  for (const auto& f : failures) {
    try {
      ExtractDeepLTranslations(f.reply, TReplyText::Characters, 2);
      ADD_FAILURE() << "no exception for " << ToUtf8(f.reply);
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), f.message);
    }
  }
}

TEST(DeepLRefusal, TheStatusGivesTheKindAndTheBodyTheWords) {
  fakes::ExpectRefusals(
      DeepLRefusal,
      {
          {456, u"{\"message\":\"Quota exceeded\"}", TRefusalKind::Quota, u"DeepL: Quota exceeded"},
          {456, u"", TRefusalKind::Quota, u"DeepL: quota exceeded (456)"},
          {403, u"{\"message\":\"Wrong endpoint. Use https://api.deepl.com\"}", TRefusalKind::Authentication,
           u"DeepL: Wrong endpoint. Use https://api.deepl.com"},
          {403, u"<html>Forbidden</html>", TRefusalKind::Authentication, u"DeepL: the key was refused (403)"},
          {429, u"", TRefusalKind::TooManyRequests, u"DeepL: too many requests (429)"},
          {529, u" ", TRefusalKind::TooManyRequests, u"DeepL: too many requests (529)"},
          {400, u"{\"message\":\"Value for 'target_lang' not supported.\"}", TRefusalKind::ThisRequest,
           u"DeepL: Value for 'target_lang' not supported."},
          {413, u"", TRefusalKind::ThisRequest, nullptr},
          {500, u"{\"message\":\"Internal error\",\"code\":\"x\"}", TRefusalKind::Other, u"DeepL: Internal error"},
          {503, u"", TRefusalKind::Other, nullptr},
          {500, u"{\"message\":\"  \"}", TRefusalKind::Other, nullptr},
      });
}

class DeepLSettings : public fakes::FakeSettingsTest {
 protected:
  fakes::FakeLogSink log;
};

TEST_F(DeepLSettings, ItsKeyMakesItAndChoosesTheHostUnlessOneIsNamed) {
  values[u"Engines/DeepL"] = u"127.0.0.1:9";
  EXPECT_FALSE(ReadEngineEndpoint(access(), kDeepL)) << "a host alone makes nothing";
  values[u"Failover/Enabled"] = u"1";
  values[u"Failover/Order"] = u"DeepL";
  EXPECT_TRUE(ReadFailoverSettings(access(), {}, log)->Order.empty());

  values.erase(u"Engines/DeepL");
  values[u"Engines/DeepLKey"] = u" abc:fx ";
  auto endpoint = ReadEngineEndpoint(access(), kDeepL);
  ASSERT_TRUE(endpoint);
  EXPECT_EQ(endpoint->Origin(), u"https://api-free.deepl.com");
  EXPECT_EQ(endpoint->ApiKey, u"abc:fx");
  values[u"Engines/DeepLKey"] = u"abc";
  EXPECT_EQ(ReadEngineEndpoint(access(), kDeepL)->Origin(), u"https://api.deepl.com");
  // A host named is reached over https unless it says http://, as a stand-in on this machine may.
  values[u"Engines/DeepL"] = u"127.0.0.1:9";
  EXPECT_EQ(ReadEngineEndpoint(access(), kDeepL)->Origin(), u"https://127.0.0.1:9");
  values[u"Engines/DeepL"] = u"http://127.0.0.1:9/";
  EXPECT_EQ(ReadEngineEndpoint(access(), kDeepL)->Origin(), u"http://127.0.0.1:9");
  values[u"Engines/DeepL"] = u"127.0.0.1:9/v2";
  EXPECT_THROW(ReadEngineEndpoint(access(), kDeepL), Exception);
  EXPECT_EQ(ReadFailoverSettings(access(), {kDeepL}, log)->Order, std::vector<int>{kDeepL});
}

TEST_F(DeepLSettings, AKeyFromTheEnvironmentAndKeysThatCannotBeSent) {
  tessarine::test_support::SetEnv("TESSARINE_TEST_DEEPL_KEY", "from-the-environment");
  values[u"Engines/DeepLKey"] = u"env:TESSARINE_TEST_DEEPL_KEY";
  EXPECT_EQ(ReadEngineEndpoint(access(), kDeepL)->ApiKey, u"from-the-environment");
  const struct {
    const char* environment;  // nullptr: not set
    const char16_t* message;
  } failures[] = {
      {nullptr, u"[Engines] DeepLKey names the environment variable TESSARINE_TEST_DEEPL_KEY, which is not set"},
      {"", u"[Engines] DeepLKey names the environment variable TESSARINE_TEST_DEEPL_KEY, which is not set"},
      {"secret-part\r\nX-Injected: 1", u"[Engines] DeepLKey holds a control character; no key does"},
  };
  for (const auto& f : failures) {
    if (f.environment) {
      tessarine::test_support::SetEnv("TESSARINE_TEST_DEEPL_KEY", f.environment);
    } else {
      tessarine::test_support::UnsetEnv("TESSARINE_TEST_DEEPL_KEY");
    }
    try {
      ReadEngineEndpoint(access(), kDeepL);
      ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), f.message);
    }
  }
  tessarine::test_support::UnsetEnv("TESSARINE_TEST_DEEPL_KEY");
}

TEST_F(DeepLSettings, FurtherSettingsAndABasePathAsTheEnginesOfTheTableMayTakeThem) {
  static constexpr TEngineSetting kSettings[] = {{u"ModelOf", true}, {u"RegionOf", false}};
  TOptionalEngine engine;
  engine.Name = u"Model";
  engine.KeyName = u"ModelKey";
  engine.Settings = kSettings;
  engine.Form = {.TakesPath = true};
  values[u"Engines/Model"] = u"http://localhost:11434/v1/";
  EXPECT_FALSE(ReadEngineEndpoint(access(), engine)) << "without its required setting";
  values[u"Engines/ModelOf"] = u" small ";
  auto endpoint = ReadEngineEndpoint(access(), engine);
  ASSERT_TRUE(endpoint);
  EXPECT_EQ(endpoint->Base(), u"http://localhost:11434/v1");
  EXPECT_EQ(endpoint->Setting(u"ModelOf"), u"small");
  EXPECT_EQ(endpoint->Setting(u"RegionOf"), u"");
  EXPECT_EQ(endpoint->ApiKey, u"");
  values[u"Engines/Model"] = u"https://example.org/a b";
  EXPECT_THROW(ReadEngineEndpoint(access(), engine), Exception);
}

// Through the service: DeepL's reply built from the request's JSON, each text as "TARGET: TEXT".
class DeepLService : public fakes::KeyedEngineService {
 protected:
  void make(bool failover) {
    KeyedEngineService::make(kDeepL, TEngineEndpoint::Parse(u"api.deepl.com", kKey, 0, {.HttpsByDefault = true}),
                             u"/v2/translate", Reply, failover);
  }
  static std::u16string Reply(const fakes::RecordedRequest& request) {
    const Json body = Json::Parse(request.Body);
    std::u16string reply = u"{\"translations\":[";
    for (size_t i = 0; i < body["text"].size(); ++i) {
      reply += (i ? u",{\"text\":\"" : u"{\"text\":\"") + FromUtf8(body["target_lang"].text) + u": " +
               FromUtf8(body["text"][i].text) + u"\"}";
    }
    return reply + u"]}";
  }
};

TEST_F(DeepLService, ItAnswersWithTheKeyInItsHeaderAndRefusalsInItsOwnWords) {
  make(false);
  EXPECT_EQ(ask(u"Hello"), u"DE: Hello");
  const fakes::RecordedRequest sent = client.Requests().back();
  EXPECT_EQ(sent.Method, u"POST");
  EXPECT_TRUE(sent.CarriesCredentials);
  EXPECT_EQ(sent.CallTimeLimit, 0) << "the client's own limits";
  EXPECT_NE(std::find(sent.HeaderLines.begin(), sent.HeaderLines.end(),
                      u"Authorization: DeepL-Auth-Key " + std::u16string(kKey)),
            sent.HeaderLines.end());
  EXPECT_EQ(sent.Url.find(kKey), std::u16string::npos);
  EXPECT_EQ(sent.Body.find(ToUtf8(kKey)), std::string::npos);
  EXPECT_EQ(log.Lines()[5], u"DeepL");

  refuse(456, u"{\"message\":\"Quota exceeded\"}");
  EXPECT_EQ(ask(u"Hello"), u"failed: DeepL: Quota exceeded");
  EXPECT_EQ(log.Lines().back(), u"DeepL: Quota exceeded");
  // Should DeepL ever quote the key, no message repeats it.
  refuse(403, u"{\"message\":\"Key " + std::u16string(kKey) + u" is not valid\"}");
  EXPECT_EQ(ask(u"Hello"), u"failed: DeepL: Key *** is not valid");
  for (const std::u16string& line : log.Lines()) EXPECT_EQ(line.find(kKey), std::u16string::npos) << ToUtf8(line);
}

TEST_F(DeepLService, WithFailoverTheRefusalDecidesTheRest) {
  make(true);
  expectRests({{456, u"", std::nullopt, 15},                      // no retry can succeed before the quota is back
               {403, u"{\"message\":\"Forbidden\"}", 7200, 120},  // nor with a refused key; it asked for longer
               {429, u"", 120, 2},                                // too many requests, as it asked
               {529, u"", std::nullopt, 1},                       // as after any failure
               {400, u"{\"message\":\"Value for 'target_lang' not supported.\"}", std::nullopt, 0}},  // this one
              u"DE: Hello");
}

}  // namespace
}  // namespace tessarine::translate
