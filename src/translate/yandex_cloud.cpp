#include "translate/yandex_cloud.h"

#include <utility>

#include "common/exception.h"
#include "common/text.h"
#include "translate/json_request.h"
#include "translate/keyed_reply.h"

namespace tessarine::translate {

namespace {

constexpr char kEngine[] = "YandexCloud";
constexpr std::u16string_view kReplyPaths[] = {u"translations[].text", u"message"};
constexpr std::u16string_view kRefusalPaths[] = {u"message"};

}  // namespace

std::u16string YandexCloudDefaultHost(std::u16string_view) { return u"translate.api.cloud.yandex.net"; }

std::u16string YandexCloudCode(std::u16string_view code) {
  code = Trim(code);
  const std::u16string base = LowerCaseAscii(code.substr(0, code.find_first_of(u"-_")));
  return base == u"auto" ? std::u16string() : base;
}

size_t YandexCloudTextChars(std::u16string_view text) { return text.size(); }

TEngineRequest BuildYandexCloudRequest(const TEngineEndpoint& endpoint, std::span<const std::u16string> texts,
                                       const std::u16string& langs_out, const std::u16string& langs_in,
                                       TTextFormat format) {
  TEngineRequest request;
  request.Url = endpoint.Origin() + u"/translate/v2/translate";
  request.CustomHeaders = {{u"Content-Type", u"application/json"}, {u"Authorization", u"Api-Key " + endpoint.ApiKey}};
  request.CarriesCredentials = true;
  std::u16string body = u"{";
  if (const std::u16string source = YandexCloudCode(langs_in); !source.empty()) {
    body += u"\"sourceLanguageCode\":";
    AppendJsonString(body, source);
    body += u',';
  }
  body += u"\"targetLanguageCode\":";
  AppendJsonString(body, YandexCloudCode(langs_out));
  // Protected pieces travel as x element pairs, which Yandex's HTML mode keeps as markup, not words.
  if (format == TTextFormat::Markup) body += u",\"format\":\"HTML\"";
  body += u",\"texts\":[";
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) body += u',';
    AppendJsonString(body, texts[i]);
  }
  body += u']';
  if (const std::u16string folder = endpoint.Setting(u"YandexCloudFolder"); !folder.empty()) {
    body += u",\"folderId\":";
    AppendJsonString(body, folder);
  }
  body += u'}';
  request.Body = Utf8Body(body);
  return request;
}

std::vector<std::u16string> ExtractYandexCloudTranslations(std::u16string_view reply, TReplyText form, size_t texts) {
  TJsonValue document = ParseJsonReply(reply, form, kEngine, kReplyPaths);
  TJsonValue* translations = document.Find(u"translations", TJsonValue::TKind::Array);
  if (!translations) {
    const TJsonValue* message = document.Find(u"message", TJsonValue::TKind::String);
    if (message && !Trim(message->Text).empty()) throw Exception(u"YandexCloud: " + message->Text);
    throw Exception("YandexCloud: the reply holds no translations");
  }
  std::vector<std::u16string> results;
  for (TJsonValue& item : translations->Items) {
    if (item.Kind != TJsonValue::TKind::Object) throw Exception("YandexCloud: a translation of the reply is no object");
    // Its JSON leaves out empty strings, as protocol buffers' JSON does: a translation without text is empty.
    TJsonValue* text = item.Find(u"text", TJsonValue::TKind::String);
    results.push_back(text ? std::move(text->Text) : std::u16string());
  }
  CheckTranslationCount(u"YandexCloud", results.size(), texts);
  return results;
}

std::optional<TRefusal> YandexCloudRefusal(int status, std::u16string_view body, TReplyText form) {
  std::optional<std::u16string> message;
  try {
    const TJsonValue document = ParseJsonReply(body, form, kEngine, kRefusalPaths);
    const TJsonValue* found = document.Find(u"message", TJsonValue::TKind::String);
    if (found && !Trim(found->Text).empty()) message = std::u16string(Trim(found->Text));
  } catch (const Exception&) {
    // An empty body, or the error page of a proxy in between.
  }
  TRefusal refusal;
  switch (status) {
    case 401:
    case 403:
      // A key it does not know, or one whose folder or billing account may not translate: no retry helps.
      refusal.Kind = TRefusalKind::Authentication;
      break;
    case 429:
      // Its per-second calls and per-hour characters both end here; both come back by themselves.
      refusal.Kind = TRefusalKind::TooManyRequests;
      break;
    case 400:
    case 413:
      refusal.Kind = TRefusalKind::ThisRequest;
      break;
    default:
      refusal.Kind = TRefusalKind::Other;
  }
  return RefusalOf(u"YandexCloud", refusal.Kind, status, std::move(message));
}

}  // namespace tessarine::translate
