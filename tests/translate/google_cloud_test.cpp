// Google Cloud Translation: its request, the language codes, its reply and refusals, and its failures through the
// service (what rests it and for how long, the key kept out of the URL, entities of its html undone once).

#include "translate/google_cloud.h"

#include <gtest/gtest.h>

#include "common/exception.h"
#include "common/text.h"
#include "keyed_engine_fixture.h"
#include "refusal_cases.h"
#include "support/mini_json.h"
#include "translate/json_request.h"
#include "translate/service_settings.h"

namespace tessarine::translate {
namespace {

using test_support::Json;

constexpr char16_t kKey[] = u"AIzaSyD-3f9c2b7e1a4d6f8b0c2e4a6d8f0b2c4e6";

std::string BodyOf(const TEngineRequest& request) { return std::string(request.Body->begin(), request.Body->end()); }

TEngineEndpoint Endpoint() {
  return TEngineEndpoint::Parse(GoogleCloudDefaultHost(kKey), kKey, 0, {.HttpsByDefault = true});
}

TEST(GoogleCloudRequest, AJsonPostWithTheKeyInItsHeaderOnly) {
  const std::vector<std::u16string> texts = {u"Hello \"big\" \u0416", u"it's"};
  const TEngineRequest request = BuildGoogleCloudRequest(Endpoint(), texts, u"zh-HK", u"en-GB");
  EXPECT_EQ(request.Url, u"https://translation.googleapis.com/language/translate/v2");
  EXPECT_EQ(request.CustomHeaders,
            (std::vector<std::pair<std::u16string, std::u16string>>{
                {u"Content-Type", u"application/json; charset=utf-8"}, {u"x-goog-api-key", kKey}}));
  EXPECT_TRUE(request.CarriesCredentials);
  const std::string body = BodyOf(request);
  EXPECT_EQ(body,
            "{\"q\":[\"Hello \\\"big\\\" \xD0\x96\",\"it's\"],\"source\":\"en\",\"target\":\"zh-TW\","
            "\"format\":\"text\"}");
  EXPECT_EQ(body.size(), std::string("{\"q\":[],\"source\":\"en\",\"target\":\"zh-TW\",\"format\":\"text\"}").size() -
                             1 + GoogleCloudTextBytes(texts[0]) + GoogleCloudTextBytes(texts[1]));
  // Left to Google to detect, no source; protected pieces in translate="no" spans: html.
  EXPECT_EQ(BodyOf(BuildGoogleCloudRequest(Endpoint(), std::vector<std::u16string>{u"a"}, u"de", u"auto",
                                           TTextFormat::Markup)),
            "{\"q\":[\"a\"],\"target\":\"de\",\"format\":\"html\"}");
}

TEST(GoogleCloudCodes, TheRegionFormsGoogleTakes) {
  const struct {
    const char16_t* suite;
    const char16_t* code;
  } cases[] = {
      {u"en-US", u"en"},      {u"zh", u"zh-CN"},    {u"zh-Hans", u"zh-CN"}, {u"zh-TW", u"zh-TW"},
      {u"zh_Hant", u"zh-TW"}, {u"zh-MO", u"zh-TW"}, {u"pt-BR", u"pt"},      {u"pt", u"pt-PT"},
      {u"nb", u"no"},         {u"iw", u"he"},       {u"DE-at", u"de"},      {u"auto", u""},
  };
  for (const auto& c : cases) EXPECT_EQ(GoogleCloudCode(c.suite), c.code) << ToUtf8(c.suite);
}

TEST(GoogleCloudReply, OneTranslationPerTextInOrderAsWritten) {
  // What format=text answers is the text itself: an entity in it is the text's own.
  EXPECT_EQ(ExtractGoogleCloudTranslations(u"{\"data\":{\"translations\":[{\"translatedText\":\"Tom &amp; \u00D0\u0096"
                                           u"\",\"detectedSourceLanguage\":\"en\"},{\"translatedText\":\"b\"}]}}",
                                           TReplyText::Bytes, 2),
            (std::vector<std::u16string>{u"Tom &amp; \u0416", u"b"}));
  const struct {
    const char16_t* reply;
    const char16_t* message;
  } failures[] = {
      {u"<html>busy</html>", u"GoogleCloud: the reply is not JSON"},
      {u"{\"data\":{\"translations\":[{\"translatedText\":\"a\"}]}}",
       u"GoogleCloud: the reply holds 1 translations for 2 texts"},
      {u"{\"data\":{\"translations\":[{\"translatedText\":\"a\"},{}]}}",
       u"GoogleCloud: a translation of the reply holds no text"},
      {u"{\"error\":{\"code\":400,\"message\":\"Invalid Value\"}}", u"GoogleCloud: Invalid Value"},
      {u"{\"data\":{}}", u"GoogleCloud: the reply holds no translations"},
  };
  for (const auto& f : failures) {
    try {
      ExtractGoogleCloudTranslations(f.reply, TReplyText::Characters, 2);
      ADD_FAILURE() << "no exception for " << ToUtf8(f.reply);
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), f.message);
    }
  }
}

TEST(GoogleCloudRefusal, TheReasonGivesTheKindAndTheMessageTheWords) {
  fakes::ExpectRefusals(
      GoogleCloudRefusal,
      {
          {403,
           u"{\"error\":{\"code\":403,\"message\":\"Daily Limit Exceeded\",\"errors\":[{\"message\":\"Daily Limit "
           u"Exceeded\",\"domain\":\"usageLimits\",\"reason\":\"dailyLimitExceeded\"}]}}",
           TRefusalKind::Quota, u"GoogleCloud: Daily Limit Exceeded"},
          {403,
           u"{\"error\":{\"code\":403,\"message\":\"User Rate Limit Exceeded\",\"errors\":[{\"reason\":"
           u"\"userRateLimitExceeded\"}]}}",
           TRefusalKind::TooManyRequests, u"GoogleCloud: User Rate Limit Exceeded"},
          {429, u"", TRefusalKind::TooManyRequests, u"GoogleCloud: too many requests (429)"},
          {400,
           u"{\"error\":{\"code\":400,\"message\":\"API key not valid. Please pass a valid API key.\",\"status\":"
           u"\"INVALID_ARGUMENT\",\"details\":[{\"@type\":\"type.googleapis.com/google.rpc.ErrorInfo\",\"reason\":"
           u"\"API_KEY_INVALID\"}]}}",
           TRefusalKind::Authentication, u"GoogleCloud: API key not valid. Please pass a valid API key."},
          {403,
           u"{\"error\":{\"code\":403,\"message\":\"Method doesn't allow unregistered callers.\",\"status\":"
           u"\"PERMISSION_DENIED\"}}",
           TRefusalKind::Authentication, u"GoogleCloud: Method doesn't allow unregistered callers."},
          {403, u"", TRefusalKind::Authentication, u"GoogleCloud: the key was refused (403)"},
          {400, u"{\"error\":{\"code\":400,\"message\":\"Bad language pair: en|xx\",\"status\":\"INVALID_ARGUMENT\"}}",
           TRefusalKind::ThisRequest, u"GoogleCloud: Bad language pair: en|xx"},
          {413, u"", TRefusalKind::ThisRequest, nullptr},
          {500, u"{\"error\":{\"code\":500,\"message\":\"Internal error encountered.\"}}", TRefusalKind::Other,
           u"GoogleCloud: Internal error encountered."},
          {503, u"", TRefusalKind::Other, nullptr},
      });
}

class GoogleCloudSettings : public fakes::FakeSettingsTest {};

TEST_F(GoogleCloudSettings, ItsKeyMakesIt) {
  values[u"Engines/GoogleCloud"] = u"127.0.0.1:9";
  EXPECT_FALSE(ReadEngineEndpoint(access(), kGoogleCloud)) << "a host alone makes nothing";
  values.erase(u"Engines/GoogleCloud");
  values[u"Engines/GoogleCloudKey"] = kKey;
  auto endpoint = ReadEngineEndpoint(access(), kGoogleCloud);
  ASSERT_TRUE(endpoint);
  EXPECT_EQ(endpoint->Origin(), u"https://translation.googleapis.com");
  EXPECT_EQ(endpoint->ApiKey, kKey);
}

// Through the service: Google's reply built from the request, each text as "TARGET: TEXT", an apostrophe written
// &#39; as Google's html does.
class GoogleCloudService : public fakes::KeyedEngineService {
 protected:
  void make(bool failover, std::optional<TProtectSettings> protection = std::nullopt) {
    KeyedEngineService::make(kGoogleCloud, Endpoint(), u"/language/translate/v2", Reply, failover,
                             std::move(protection));
  }
  static std::u16string Reply(const fakes::RecordedRequest& request) {
    const Json body = Json::Parse(request.Body);
    std::u16string reply = u"{\"data\":{\"translations\":[";
    for (size_t i = 0; i < body["q"].size(); ++i) {
      std::u16string text = FromUtf8(body["target"].text) + u": " + FromUtf8(body["q"][i].text);
      if (body["format"].text == "html") {
        for (size_t at; (at = text.find(u'\'')) != std::u16string::npos;) text.replace(at, 1, u"&#39;");
      }
      reply += i ? u",{\"translatedText\":" : u"{\"translatedText\":";
      AppendJsonString(reply, text);
      reply += u'}';
    }
    return reply + u"]}}";
  }
};

TEST_F(GoogleCloudService, ItAnswersWithTheKeyInItsHeaderAndItsHtmlEntitiesUndoneOnce) {
  make(false, TProtectSettings{});
  EXPECT_EQ(ask(u"it's {0} &lt;"), u"de: it's {0} &lt;");
  const fakes::RecordedRequest sent = client.Requests().back();
  EXPECT_EQ(sent.Method, u"POST");
  EXPECT_TRUE(sent.CarriesCredentials);
  EXPECT_TRUE(hasHeader(sent, u"x-goog-api-key: " + std::u16string(kKey)));
  EXPECT_EQ(Json::Parse(sent.Body)["q"][0].text,
            "it's <span translate=\"no\">{0}</span> <span translate=\"no\">&amp;lt;</span>");
  EXPECT_EQ(Json::Parse(sent.Body)["format"].text, "html");
  EXPECT_EQ(sent.Url.find(kKey), std::u16string::npos);
  EXPECT_EQ(sent.Body.find(ToUtf8(kKey)), std::string::npos);
  // Should it ever quote the key, no answer or log line repeats it.
  refuse(400, u"{\"error\":{\"code\":400,\"message\":\"Key " + std::u16string(kKey) + u" is not valid\"}}");
  EXPECT_EQ(ask(u"Hello"), u"failed: GoogleCloud: Key *** is not valid");
  const std::vector<std::u16string> lines = log.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), u"GoogleCloud"), lines.end());
  for (const std::u16string& line : lines) EXPECT_EQ(line.find(kKey), std::u16string::npos) << ToUtf8(line);
}

TEST_F(GoogleCloudService, WithFailoverTheRefusalDecidesTheRest) {
  make(true);
  expectRests({{403, u"{\"error\":{\"code\":403,\"message\":\"Daily Limit Exceeded\"}}", std::nullopt, 15},
               {400, u"{\"error\":{\"message\":\"API key not valid.\",\"details\":[{\"reason\":\"API_KEY_INVALID\"}]}}",
                7200, 120},
               {403, u"{\"error\":{\"code\":403,\"message\":\"User Rate Limit Exceeded\"}}", 120, 2},
               {500, u"", std::nullopt, 1},
               {400, u"{\"error\":{\"code\":400,\"message\":\"Bad language pair\"}}", std::nullopt, 0}},
              u"de: Hello");
}

}  // namespace
}  // namespace tessarine::translate
