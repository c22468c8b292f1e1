#include "translate/deepl.h"

#include <utility>

#include "common/exception.h"
#include "common/text.h"
#include "translate/json_request.h"
#include "translate/keyed_reply.h"
#include "translate/language_codes.h"

namespace tessarine::translate {

namespace {

constexpr char kEngine[] = "DeepL";
constexpr std::u16string_view kReplyPaths[] = {u"translations[].text", u"message"};
constexpr std::u16string_view kRefusalPaths[] = {u"message"};

std::u16string BaseCode(const std::u16string& base) { return base == u"no" ? u"NB" : UpperCaseAscii(base); }

}  // namespace

std::u16string DeepLDefaultHost(std::u16string_view key) {
  return key.ends_with(u":fx") ? u"api-free.deepl.com" : u"api.deepl.com";
}

std::u16string DeepLSourceCode(std::u16string_view code) {
  const std::vector<std::u16string> subtags = LanguageSubtags(code);
  if (subtags[0].empty() || subtags[0] == u"auto") return {};
  return BaseCode(subtags[0]);
}

std::u16string DeepLTargetCode(std::u16string_view code) {
  const std::vector<std::u16string> subtags = LanguageSubtags(code);
  const std::u16string& base = subtags[0];
  if (base == u"en") return HasSubtag(subtags, {u"gb", u"uk", u"au", u"nz", u"ie", u"za", u"in"}) ? u"EN-GB" : u"EN-US";
  if (base == u"pt") return HasSubtag(subtags, {u"br"}) ? u"PT-BR" : u"PT-PT";
  // Stripping the variant would give Simplified characters to a Traditional reader.
  if (base == u"zh") return IsTraditionalChinese(subtags) ? u"ZH-HANT" : u"ZH-HANS";
  return BaseCode(base);
}

size_t DeepLTextBytes(std::u16string_view text) { return JsonStringBytes(text) + 1; }

TEngineRequest BuildDeepLRequest(const TEngineEndpoint& endpoint, std::span<const std::u16string> texts,
                                 const std::u16string& langs_out, const std::u16string& langs_in, TTextFormat format) {
  TEngineRequest request;
  request.Url = endpoint.Origin() + u"/v2/translate";
  request.CustomHeaders = {{u"Content-Type", u"application/json"},
                           {u"Authorization", u"DeepL-Auth-Key " + endpoint.ApiKey}};
  request.CarriesCredentials = true;
  std::u16string body = u"{\"text\":[";
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) body += u',';
    AppendJsonString(body, texts[i]);
  }
  body += u']';
  if (const std::u16string source = DeepLSourceCode(langs_in); !source.empty()) {
    body += u",\"source_lang\":";
    AppendJsonString(body, source);
  }
  body += u",\"target_lang\":";
  AppendJsonString(body, DeepLTargetCode(langs_out));
  // Protected pieces travel as x elements, which DeepL then keeps untranslated and moves with their words.
  if (format == TTextFormat::Markup) body += u",\"tag_handling\":\"xml\",\"ignore_tags\":[\"x\"]";
  body += u'}';
  request.Body = Utf8Body(body);
  return request;
}

std::vector<std::u16string> ExtractDeepLTranslations(std::u16string_view reply, TReplyText form, size_t texts) {
  TJsonValue document = ParseJsonReply(reply, form, kEngine, kReplyPaths);
  TJsonValue* translations = document.Find(u"translations", TJsonValue::TKind::Array);
  if (!translations) {
    const TJsonValue* message = document.Find(u"message", TJsonValue::TKind::String);
    if (message && !Trim(message->Text).empty()) throw Exception(u"DeepL: " + message->Text);
    throw Exception("DeepL: the reply holds no translations");
  }
  std::vector<std::u16string> results;
  for (TJsonValue& item : translations->Items) {
    TJsonValue* text = item.Find(u"text", TJsonValue::TKind::String);
    if (!text) throw Exception("DeepL: a translation of the reply holds no text");
    results.push_back(std::move(text->Text));
  }
  CheckTranslationCount(u"DeepL", results.size(), texts);
  return results;
}

std::optional<TRefusal> DeepLRefusal(int status, std::u16string_view body, TReplyText form) {
  std::optional<std::u16string> message;
  try {
    const TJsonValue document = ParseJsonReply(body, form, kEngine, kRefusalPaths);
    const TJsonValue* found = document.Find(u"message", TJsonValue::TKind::String);
    if (found && !Trim(found->Text).empty()) message = std::u16string(Trim(found->Text));
  } catch (const Exception&) {
    // An empty body (DeepL sends one with some 429s) or an error page of something in between.
  }
  TRefusal refusal;
  switch (status) {
    case 456:
      refusal.Kind = TRefusalKind::Quota;
      break;
    case 401:
    case 403:
      refusal.Kind = TRefusalKind::Authentication;
      break;
    case 429:
    case 529:
      refusal.Kind = TRefusalKind::TooManyRequests;
      break;
    case 400:
    case 413:
    case 414:
      refusal.Kind = TRefusalKind::ThisRequest;
      break;
    default:
      refusal.Kind = TRefusalKind::Other;
  }
  return RefusalOf(u"DeepL", refusal.Kind, status, std::move(message));
}

}  // namespace tessarine::translate
