// Microsoft Translator: its request, the language codes, its reply (a byte order mark before it) and refusals, its
// settings, and its failures through the service (what rests it and for how long, the key kept out of the URL).

#include "translate/microsoft.h"

#include <gtest/gtest.h>

#include "common/exception.h"
#include "common/text.h"
#include "keyed_engine_fixture.h"
#include "refusal_cases.h"
#include "support/mini_json.h"
#include "translate/deepl.h"
#include "translate/json_request.h"
#include "translate/service_settings.h"

namespace tessarine::translate {
namespace {

using test_support::Json;

constexpr char16_t kKey[] = u"9b2d7c41e0f84a6b8d3e5f1a2c4b6d8e";

std::string BodyOf(const TEngineRequest& request) { return std::string(request.Body->begin(), request.Body->end()); }

TEngineEndpoint Endpoint(std::u16string region = {}) {
  TEngineEndpoint endpoint = TEngineEndpoint::Parse(MicrosoftDefaultHost(kKey), kKey, 0, {.HttpsByDefault = true});
  if (!region.empty()) endpoint.Settings = {{std::u16string(kMicrosoftRegionSetting), region}};
  return endpoint;
}

TEST(MicrosoftRequest, AJsonArrayWithTheKeyAndTheRegionInTheirHeadersOnly) {
  const std::vector<std::u16string> texts = {u"Hello \"big\" \u0416", u"Open &File"};
  const TEngineRequest request = BuildMicrosoftRequest(Endpoint(u"westeurope"), texts, u"zh-TW", u"en-US");
  EXPECT_EQ(request.Url, u"https://api.cognitive.microsofttranslator.com/translate?api-version=3.0&from=en&to=zh-Hant");
  EXPECT_EQ(request.CustomHeaders, (std::vector<std::pair<std::u16string, std::u16string>>{
                                       {u"Content-Type", u"application/json; charset=UTF-8"},
                                       {u"Ocp-Apim-Subscription-Key", kKey},
                                       {u"Ocp-Apim-Subscription-Region", u"westeurope"}}));
  EXPECT_TRUE(request.CarriesCredentials);
  EXPECT_EQ(BodyOf(request), "[{\"Text\":\"Hello \\\"big\\\" \xD0\x96\"},{\"Text\":\"Open &File\"}]");
  // Left to Microsoft to detect, no from; protected pieces in notranslate spans: HTML; a code is no query's end.
  const std::vector<std::u16string> one = {u"a"};
  EXPECT_EQ(BuildMicrosoftRequest(Endpoint(), one, u"de&x=1", u"auto", TTextFormat::Markup).Url,
            u"https://api.cognitive.microsofttranslator.com/translate?api-version=3.0&to=de%26x%3D1&textType=html");
  EXPECT_EQ(BuildMicrosoftRequest(Endpoint(), one, u"de", u"en").CustomHeaders.size(), 2u) << "no region, no header";
  EXPECT_THROW(BuildMicrosoftRequest(Endpoint(u"west\reurope"), one, u"de", u"en"), Exception);
}

TEST(MicrosoftCodes, TheVariantsMicrosoftNames) {
  const struct {
    const char16_t* suite;
    const char16_t* code;
  } cases[] = {
      {u"en-GB", u"en"},      {u"EN_us", u"en"},      {u"zh", u"zh-Hans"},
      {u"zh-CN", u"zh-Hans"}, {u"zh-TW", u"zh-Hant"}, {u"zh-Hant-HK", u"zh-Hant"},
      {u"pt-BR", u"pt"},      {u"pt", u"pt-pt"},      {u"pt-PT", u"pt-pt"},
      {u"fr-CA", u"fr-ca"},   {u"fr-FR", u"fr"},      {u"sr-Latn", u"sr-Latn"},
      {u"sr", u"sr-Cyrl"},    {u"mn", u"mn-Cyrl"},    {u"no", u"nb"},
      {u"DE", u"de"},         {u"auto", u""},         {u"", u""},
  };
  for (const auto& c : cases) EXPECT_EQ(MicrosoftCode(c.suite), c.code) << ToUtf8(c.suite);
}

TEST(MicrosoftReply, OneTranslationPerTextInOrderAByteOrderMarkBeforeThem) {
  const std::u16string reply =
      u"[{\"translations\":[{\"text\":\"Hallo\",\"to\":\"de\"}]},"
      u"{\"translations\":[{\"text\":\"\u00D0\u0096\",\"to\":\"de\"}]}]";
  // Read one character per byte, the mark is three characters.
  EXPECT_EQ(ExtractMicrosoftTranslations(u"\u00EF\u00BB\u00BF" + reply, TReplyText::Bytes, 2),
            (std::vector<std::u16string>{u"Hallo", u"\u0416"}));
  EXPECT_EQ(ExtractMicrosoftTranslations(u"\uFEFF[{\"translations\":[{\"text\":\"a\"}]}]", TReplyText::Characters, 1),
            std::vector<std::u16string>{u"a"});
  const struct {
    const char16_t* reply;
    const char16_t* message;
  } failures[] = {
      {u"<html>busy</html>", u"Microsoft: the reply is not JSON"},
      {u"[{\"translations\":[{\"text\":\"a\"}]}]", u"Microsoft: the reply holds 1 translations for 2 texts"},
      {u"[{\"translations\":[{\"text\":\"a\"}]},{\"translations\":[]}]",
       u"Microsoft: a translation of the reply holds no text"},
      {u"{\"error\":{\"code\":400036,\"message\":\"The target language is not valid.\"}}",
       u"Microsoft: The target language is not valid."},
      {u"{}", u"Microsoft: the reply holds no translations"},
  };
  for (const auto& f : failures) {
    try {
      ExtractMicrosoftTranslations(f.reply, TReplyText::Characters, 2);
      ADD_FAILURE() << "no exception for " << ToUtf8(f.reply);
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), f.message);
    }
  }
  // Only a reader that asks for an array's items takes one.
  EXPECT_THROW(ExtractDeepLTranslations(u"[{\"text\":\"a\"}]", TReplyText::Characters, 1), Exception);
}

TEST(MicrosoftRefusal, TheCodeGivesTheKindAndTheMessageTheWords) {
  fakes::ExpectRefusals(
      MicrosoftRefusal,
      {
          {403,
           u"{\"error\":{\"code\":403001,\"message\":\"The operation isn't allowed because the subscription has "
           u"exceeded its free quota.\"}}",
           TRefusalKind::Quota,
           u"Microsoft: The operation isn't allowed because the subscription has exceeded its free quota."},
          {401, u"{\"error\":{\"code\":401000,\"message\":\"The request is not authorized.\"}}",
           TRefusalKind::Authentication, u"Microsoft: The request is not authorized."},
          {401, u"", TRefusalKind::Authentication, u"Microsoft: the key was refused (401)"},
          {429, u"\uFEFF{\"error\":{\"code\":429001,\"message\":\"Too many requests.\"}}",
           TRefusalKind::TooManyRequests, u"Microsoft: Too many requests."},
          {429, u"<html></html>", TRefusalKind::TooManyRequests, u"Microsoft: too many requests (429)"},
          {400, u"{\"error\":{\"code\":400036,\"message\":\"The target language is not valid.\"}}",
           TRefusalKind::ThisRequest, u"Microsoft: The target language is not valid."},
          {400, u"", TRefusalKind::ThisRequest, nullptr},
          {503, u"{\"error\":{\"code\":503000,\"message\":\"Service is temporarily unavailable.\"}}",
           TRefusalKind::Other, u"Microsoft: Service is temporarily unavailable."},
          {500, u"", TRefusalKind::Other, nullptr},
      });
}

class MicrosoftSettings : public fakes::FakeSettingsTest {};

TEST_F(MicrosoftSettings, ItsKeyMakesItWithItsRegionWhenSet) {
  values[u"Engines/MicrosoftRegion"] = u"westeurope";
  EXPECT_FALSE(ReadEngineEndpoint(access(), kMicrosoft)) << "a region alone makes nothing";
  values[u"Engines/MicrosoftKey"] = kKey;
  auto endpoint = ReadEngineEndpoint(access(), kMicrosoft);
  ASSERT_TRUE(endpoint);
  EXPECT_EQ(endpoint->Origin(), u"https://api.cognitive.microsofttranslator.com");
  EXPECT_EQ(endpoint->Setting(kMicrosoftRegionSetting), u"westeurope");
  values[u"Engines/Microsoft"] = u"http://127.0.0.1:9";
  EXPECT_EQ(ReadEngineEndpoint(access(), kMicrosoft)->Origin(), u"http://127.0.0.1:9");
}

// Through the service: Microsoft's reply built from the request, each text as "TO: TEXT".
class MicrosoftService : public fakes::KeyedEngineService {
 protected:
  void make(bool failover, std::optional<TProtectSettings> protection = std::nullopt) {
    KeyedEngineService::make(kMicrosoft, Endpoint(u"westeurope"), u"/translate?api-version=3.0", Reply, failover,
                             std::move(protection));
  }
  static std::u16string Reply(const fakes::RecordedRequest& request) {
    const Json body = Json::Parse(request.Body);
    const std::u16string to = TextBetween(u"&to=", request.Url + u"&", u"&");
    std::u16string reply = u"\uFEFF[";
    for (size_t i = 0; i < body.size(); ++i) {
      reply += i ? u",{\"translations\":[{\"text\":" : u"{\"translations\":[{\"text\":";
      AppendJsonString(reply, to + u": " + FromUtf8(body[i]["Text"].text));
      reply += u",\"to\":\"" + to + u"\"}]}";
    }
    return reply + u"]";
  }
};

TEST_F(MicrosoftService, ItAnswersWithTheKeyInItsHeaderAndProtectedPiecesInNotranslateSpans) {
  make(false, TProtectSettings{});
  EXPECT_EQ(ask(u"Open {0} now"), u"de: Open {0} now");
  const fakes::RecordedRequest sent = client.Requests().back();
  EXPECT_EQ(sent.Method, u"POST");
  EXPECT_TRUE(sent.CarriesCredentials);
  EXPECT_TRUE(hasHeader(sent, u"Ocp-Apim-Subscription-Key: " + std::u16string(kKey)));
  EXPECT_TRUE(hasHeader(sent, u"Ocp-Apim-Subscription-Region: westeurope"));
  EXPECT_TRUE(sent.Url.ends_with(u"&textType=html")) << ToUtf8(sent.Url);
  EXPECT_EQ(sent.Body, "[{\"Text\":\"Open <span class=\\\"notranslate\\\">{0}</span> now\"}]");
  EXPECT_EQ(sent.Url.find(kKey), std::u16string::npos);
  EXPECT_EQ(sent.Body.find(ToUtf8(kKey)), std::string::npos);
  // Should it ever quote the key, no answer or log line repeats it.
  refuse(401, u"{\"error\":{\"code\":401000,\"message\":\"Key " + std::u16string(kKey) + u" is not valid\"}}");
  EXPECT_EQ(ask(u"Hello"), u"failed: Microsoft: Key *** is not valid");
  const std::vector<std::u16string> lines = log.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), u"Microsoft"), lines.end());
  for (const std::u16string& line : lines) EXPECT_EQ(line.find(kKey), std::u16string::npos) << ToUtf8(line);
}

TEST_F(MicrosoftService, WithFailoverTheRefusalDecidesTheRest) {
  make(true);
  expectRests(
      {{403, u"{\"error\":{\"code\":403001,\"message\":\"free quota\"}}", std::nullopt, 15},
       {401, u"", 7200, 120},
       {429, u"{\"error\":{\"code\":429001,\"message\":\"Too many\"}}", 120, 2},
       {503, u"", std::nullopt, 1},
       {400, u"{\"error\":{\"code\":400036,\"message\":\"The target language is not valid.\"}}", std::nullopt, 0}},
      u"de: Hello");
}

}  // namespace
}  // namespace tessarine::translate
