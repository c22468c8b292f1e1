#include "translate/microsoft.h"

#include <algorithm>
#include <utility>

#include "common/exception.h"
#include "common/text.h"
#include "translate/json_request.h"
#include "translate/keyed_reply.h"
#include "translate/language_codes.h"
#include "translate/text_codecs.h"

namespace tessarine::translate {

namespace {

constexpr char kEngine[] = "Microsoft";
constexpr std::u16string_view kReplyPaths[] = {u"[].translations[].text", u"error.message"};
constexpr std::u16string_view kRefusalPaths[] = {u"error.message", u"error.code"};

// Read one character per byte, the mark is three characters the JSON reader takes for text.
std::u16string_view WithoutUtf8Mark(std::u16string_view reply, TReplyText form) {
  if (form == TReplyText::Bytes && reply.starts_with(u"\u00EF\u00BB\u00BF")) reply.remove_prefix(3);
  return reply;
}

// The error's code when it is a plain number of six digits at most (as written), else 0.
long long CodeOf(std::u16string_view text) {
  if (text.empty() || text.size() > 6) return 0;
  long long code = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return 0;
    code = code * 10 + (c - u'0');
  }
  return code;
}

TRefusalKind KindOfCode(int status, long long code) {
  // The code is the status followed by three digits; without one the status alone decides.
  const long long group = code >= 100000 && code <= 999999 ? code / 1000 : status;
  if (code == 403001) return TRefusalKind::Quota;
  switch (group) {
    case 401:
    case 403:
      return TRefusalKind::Authentication;
    case 429:
      return TRefusalKind::TooManyRequests;
    case 400:
    case 413:
    case 414:
      return TRefusalKind::ThisRequest;
    default:
      return TRefusalKind::Other;
  }
}

}  // namespace

std::u16string MicrosoftDefaultHost(std::u16string_view) { return u"api.cognitive.microsofttranslator.com"; }

std::u16string MicrosoftCode(std::u16string_view code) {
  const std::vector<std::u16string> subtags = LanguageSubtags(code);
  const std::u16string& base = subtags[0];
  if (base.empty() || base == u"auto") return {};
  if (base == u"zh") return IsTraditionalChinese(subtags) ? u"zh-Hant" : u"zh-Hans";
  if (base == u"pt") return HasSubtag(subtags, {u"br"}) ? u"pt" : u"pt-pt";
  if (base == u"fr" && HasSubtag(subtags, {u"ca"})) return u"fr-ca";
  if (base == u"sr") return HasSubtag(subtags, {u"latn"}) ? u"sr-Latn" : u"sr-Cyrl";
  if (base == u"mn") return u"mn-Cyrl";
  if (base == u"no") return u"nb";
  return base;
}

size_t MicrosoftTextChars(std::u16string_view text) {
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    // The second half of a surrogate pair adds nothing.
    if (!(text[i] >= 0xDC00 && text[i] <= 0xDFFF && i > 0 && text[i - 1] >= 0xD800 && text[i - 1] <= 0xDBFF)) ++chars;
  }
  return chars;
}

TEngineRequest BuildMicrosoftRequest(const TEngineEndpoint& endpoint, std::span<const std::u16string> texts,
                                     const std::u16string& langs_out, const std::u16string& langs_in,
                                     TTextFormat format) {
  TEngineRequest request;
  request.Url = endpoint.Origin() + u"/translate?api-version=3.0";
  if (const std::u16string from = MicrosoftCode(langs_in); !from.empty())
    request.Url += u"&from=" + EncodeUrlText(from);
  request.Url += u"&to=" + EncodeUrlText(MicrosoftCode(langs_out));
  if (format == TTextFormat::Markup) request.Url += u"&textType=html";
  request.CustomHeaders = {{u"Content-Type", u"application/json; charset=UTF-8"},
                           {u"Ocp-Apim-Subscription-Key", endpoint.ApiKey}};
  if (const std::u16string region = endpoint.Setting(kMicrosoftRegionSetting); !region.empty()) {
    // A line break would end the header line and let the rest pass for headers of its own.
    if (std::any_of(region.begin(), region.end(), [](char16_t c) { return c < u' ' || c == 0x7F; }))
      throw Exception(u"[Engines] MicrosoftRegion holds a control character");
    request.CustomHeaders.emplace_back(u"Ocp-Apim-Subscription-Region", region);
  }
  request.CarriesCredentials = true;
  std::u16string body = u"[";
  for (size_t i = 0; i < texts.size(); ++i) {
    body += i > 0 ? u",{\"Text\":" : u"{\"Text\":";
    AppendJsonString(body, texts[i]);
    body += u'}';
  }
  body += u']';
  request.Body = Utf8Body(body);
  return request;
}

std::vector<std::u16string> ExtractMicrosoftTranslations(std::u16string_view reply, TReplyText form, size_t texts) {
  TJsonValue document = ParseJsonReply(WithoutUtf8Mark(reply, form), form, kEngine, kReplyPaths);
  if (document.Kind != TJsonValue::TKind::Array) {
    const TJsonValue* error = document.Find(u"error", TJsonValue::TKind::Object);
    const TJsonValue* message = error ? error->Find(u"message", TJsonValue::TKind::String) : nullptr;
    if (message && !Trim(message->Text).empty()) throw Exception(u"Microsoft: " + message->Text);
    throw Exception("Microsoft: the reply holds no translations");
  }
  std::vector<std::u16string> results;
  for (TJsonValue& item : document.Items) {
    TJsonValue* translations = item.Find(u"translations", TJsonValue::TKind::Array);
    TJsonValue* text = translations && !translations->Items.empty()
                           ? translations->Items.front().Find(u"text", TJsonValue::TKind::String)
                           : nullptr;
    if (!text) throw Exception("Microsoft: a translation of the reply holds no text");
    results.push_back(std::move(text->Text));
  }
  CheckTranslationCount(u"Microsoft", results.size(), texts);
  return results;
}

std::optional<TRefusal> MicrosoftRefusal(int status, std::u16string_view body, TReplyText form) {
  std::optional<std::u16string> message;
  long long code = 0;
  try {
    const TJsonValue document = ParseJsonReply(WithoutUtf8Mark(body, form), form, kEngine, kRefusalPaths);
    if (const TJsonValue* error = document.Find(u"error", TJsonValue::TKind::Object)) {
      const TJsonValue* found = error->Find(u"message", TJsonValue::TKind::String);
      if (found && !Trim(found->Text).empty()) message = std::u16string(Trim(found->Text));
      if (const TJsonValue* number = error->Find(u"code", TJsonValue::TKind::Number)) {
        code = CodeOf(number->Text);
      }
    }
  } catch (const Exception&) {
    // An empty body, or an error page of something in between.
  }
  TRefusal refusal;
  refusal.Kind = KindOfCode(status, code);
  return RefusalOf(u"Microsoft", refusal.Kind, status, std::move(message));
}

}  // namespace tessarine::translate
