// Yandex Cloud: its request, the language codes, its reply and refusals, its settings, and a call through the
// service with protected text (the key in its header only, the tokens as HTML).

#include "translate/yandex_cloud.h"

#include <gtest/gtest.h>

#include "common/exception.h"
#include "common/text.h"
#include "refusal_cases.h"
#include "service_fakes.h"
#include "support/mini_json.h"
#include "translate/engine_choice.h"
#include "translate/json_request.h"
#include "translate/service_settings.h"
#include "translate/text_codecs.h"
#include "translate/translation_service.h"

namespace tessarine::translate {
namespace {

constexpr char16_t kKey[] = u"AQVN1x2y3z4w5v6u7t8s9r0q-Yc4k";

std::string BodyOf(const TEngineRequest& request) { return std::string(request.Body->begin(), request.Body->end()); }

TEST(YandexCloudRequest, AJsonPostWithTheKeyInItsHeaderAndTheFolderOnlyWhenSet) {
  auto endpoint = TEngineEndpoint::Parse(YandexCloudDefaultHost(kKey), kKey, 0, {.HttpsByDefault = true});
  const std::vector<std::u16string> texts = {u"Hello \"big\" \u0416\n", u"Open"};
  const TEngineRequest request = BuildYandexCloudRequest(endpoint, texts, u"ru", u"auto");
  EXPECT_EQ(request.Url, u"https://translate.api.cloud.yandex.net/translate/v2/translate");
  EXPECT_EQ(request.CustomHeaders,
            (std::vector<std::pair<std::u16string, std::u16string>>{
                {u"Content-Type", u"application/json"}, {u"Authorization", u"Api-Key " + std::u16string(kKey)}}));
  EXPECT_TRUE(request.CarriesCredentials);
  EXPECT_EQ(BodyOf(request), "{\"targetLanguageCode\":\"ru\",\"texts\":[\"Hello \\\"big\\\" \xD0\x96\\n\",\"Open\"]}");
  endpoint.Settings = {{u"YandexCloudFolder", u"b1g2folder"}};
  EXPECT_EQ(BodyOf(BuildYandexCloudRequest(endpoint, std::vector<std::u16string>{u"a"}, u"de", u"en-US",
                                           TTextFormat::Markup)),
            "{\"sourceLanguageCode\":\"en\",\"targetLanguageCode\":\"de\",\"format\":\"HTML\",\"texts\":[\"a\"],"
            "\"folderId\":\"b1g2folder\"}");
}

TEST(YandexCloudCodes, TheBaseCodeLowerCased) {
  const std::pair<const char16_t*, const char16_t*> cases[] = {
      {u"en", u"en"},   {u"EN_gb", u"en"}, {u"pt-BR", u"pt"}, {u"zh-Hant-TW", u"zh"},
      {u" ru ", u"ru"}, {u"auto", u""},    {u"", u""},
  };
  for (const auto& [suite, yandex] : cases) EXPECT_EQ(YandexCloudCode(suite), yandex) << ToUtf8(suite);
}

TEST(YandexCloudReply, OneTranslationPerTextInOrder) {
  // An empty translation comes without its text, as protocol buffers' JSON leaves empty strings out.
  EXPECT_EQ(ExtractYandexCloudTranslations(
                u"\uFEFF{\"translations\":[{\"text\":\"\\u041f\u00D0\u009F\",\"detectedLanguageCode\":\"en\"},"
                u"{\"detectedLanguageCode\":\"en\"}]}",
                TReplyText::Bytes, 2),
            (std::vector<std::u16string>{u"\u041f\u041f", u""}));
  const std::pair<const char16_t*, const char16_t*> failures[] = {
      {u"<html>busy</html>", u"YandexCloud: the reply is not JSON"},
      {u"{\"translations\":[{\"text\":\"a\"}]}", u"YandexCloud: the reply holds 1 translations for 2 texts"},
      {u"{\"translations\":[\"a\",\"b\"]}", u"YandexCloud: a translation of the reply is no object"},
      {u"{\"code\":3,\"message\":\"unsupported target_language_code\"}",
       u"YandexCloud: unsupported target_language_code"},
      {u"{}", u"YandexCloud: the reply holds no translations"},
  };
  for (const auto& [reply, message] : failures) {
    try {
      ExtractYandexCloudTranslations(reply, TReplyText::Characters, 2);
      ADD_FAILURE() << "no exception for " << ToUtf8(reply);
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), message);
    }
  }
}

TEST(YandexCloudRefusal, TheStatusGivesTheKindAndTheBodyTheWords) {
  fakes::ExpectRefusals(
      YandexCloudRefusal,
      {
          {401, u"{\"code\":16,\"message\":\"Unknown api key\",\"details\":[]}", TRefusalKind::Authentication,
           u"YandexCloud: Unknown api key"},
          {403, u"", TRefusalKind::Authentication, u"YandexCloud: the key was refused (403)"},
          {429, u"<html>Too Many Requests</html>", TRefusalKind::TooManyRequests,
           u"YandexCloud: too many requests (429)"},
          {400, u"{\"code\":3,\"message\":\"texts length must be not greater than 10000\"}", TRefusalKind::ThisRequest,
           u"YandexCloud: texts length must be not greater than 10000"},
          {413, u"", TRefusalKind::ThisRequest, nullptr},
          {500, u"{\"code\":13,\"message\":\"Internal error\"}", TRefusalKind::Other, u"YandexCloud: Internal error"},
          {503, u"", TRefusalKind::Other, nullptr},
      });
}

class YandexCloudSettings : public fakes::FakeSettingsTest {};

TEST_F(YandexCloudSettings, ItsKeyMakesItAndTheFolderGoesAlong) {
  values[u"Engines/YandexCloud"] = u"127.0.0.1:9";
  values[u"Engines/YandexCloudFolder"] = u"b1g2folder";
  EXPECT_FALSE(ReadEngineEndpoint(access(), kYandexCloud)) << "a host and a folder alone make nothing";
  values.erase(u"Engines/YandexCloud");
  values[u"Engines/YandexCloudKey"] = u" AQVNkey ";
  const auto endpoint = ReadEngineEndpoint(access(), kYandexCloud);
  ASSERT_TRUE(endpoint);
  EXPECT_EQ(endpoint->Origin(), u"https://translate.api.cloud.yandex.net");
  EXPECT_EQ(endpoint->ApiKey, u"AQVNkey");
  EXPECT_EQ(endpoint->Setting(u"YandexCloudFolder"), u"b1g2folder");
}

// Through the service, with [Protect] on: each text as Yandex would give it back, "TARGET: TEXT".
TEST(YandexCloudService, ProtectedTextGoesAsHtmlWithTheKeyInItsHeaderOnly) {
  fakes::FakeUpstreamClient client;
  client.Reply = [](const fakes::RecordedRequest& request) -> std::u16string {
    const test_support::Json body = test_support::Json::Parse(request.Body);
    std::u16string reply = u"{\"translations\":[";
    for (size_t i = 0; i < body["texts"].size(); ++i) {
      reply += i ? u",{\"text\":" : u"{\"text\":";
      AppendJsonString(reply, FromUtf8(body["targetLanguageCode"].text + ": " + body["texts"][i].text));
      reply += u'}';
    }
    return reply + u"]}";
  };
  fakes::FakeLogSink log;
  TEngineChoice choice;
  choice.AddOptionalEngine(kYandexCloud, true);
  choice.SetChecked(kYandexCloud);
  TServiceExtras extras;
  extras.Endpoints[kYandexCloud] = TEngineEndpoint::Parse(u"translate.api.cloud.yandex.net", kKey, 0, {true});
  extras.Protection = TProtectSettings{};
  TBabylonTable babylon;
  TTranslationService service(client, log, choice, babylon, TEngineHosts(), std::move(extras));
  fakes::FakeRequestInfo request;
  request.Query = {u"text=Open %s now", u"langpair=en|ru"};
  fakes::FakeResponseInfo response;
  service.IdHTTPServer1CommandGet(request, response);
  EXPECT_EQ(TextBetween(u"class=hps>", response.Content, u"</span>"), u"ru: Open %s now");
  const fakes::RecordedRequest sent = client.Requests().back();
  const test_support::Json body = test_support::Json::Parse(sent.Body);
  EXPECT_EQ(body["format"].text, "HTML");
  EXPECT_EQ(body["texts"][0].text, "Open <x id=\"1\"></x> now");
  EXPECT_TRUE(sent.CarriesCredentials);
  EXPECT_EQ(sent.Url.find(kKey), std::u16string::npos);
  EXPECT_EQ(sent.Body.find(ToUtf8(kKey)), std::string::npos);
  for (const std::u16string& line : log.Lines()) EXPECT_EQ(line.find(kKey), std::u16string::npos) << ToUtf8(line);
}

}  // namespace
}  // namespace tessarine::translate
