#include "translate/google_cloud.h"

#include <utility>

#include "common/exception.h"
#include "common/text.h"
#include "translate/json_request.h"
#include "translate/keyed_reply.h"
#include "translate/language_codes.h"

namespace tessarine::translate {

namespace {

constexpr char kEngine[] = "GoogleCloud";
constexpr std::u16string_view kReplyPaths[] = {u"data.translations[].translatedText", u"error.message"};
constexpr std::u16string_view kRefusalPaths[] = {u"error.message", u"error.errors[].reason", u"error.details[].reason"};

bool Contains(std::u16string_view text, std::u16string_view part) {
  return LowerCaseAscii(text).find(LowerCaseAscii(part)) != std::u16string::npos;
}

// The reasons a Google error gives, in its errors[] and its details[].
std::vector<std::u16string> ReasonsOf(const TJsonValue& error) {
  std::vector<std::u16string> reasons;
  for (std::u16string_view list : {u"errors", u"details"}) {
    const TJsonValue* items = error.Find(list, TJsonValue::TKind::Array);
    if (!items) continue;
    for (const TJsonValue& item : items->Items) {
      if (const TJsonValue* reason = item.Find(u"reason", TJsonValue::TKind::String)) reasons.push_back(reason->Text);
    }
  }
  return reasons;
}

TRefusalKind KindOf(int status, const std::vector<std::u16string>& reasons, std::u16string_view message) {
  const auto said = [&](std::u16string_view reason, std::u16string_view words) {
    for (const std::u16string& r : reasons) {
      if (SameTextAscii(r, reason)) return true;
    }
    return Contains(message, words);
  };
  if (status == 403 || status == 429) {
    if (said(u"dailyLimitExceeded", u"Daily Limit Exceeded")) return TRefusalKind::Quota;
    if (status == 429 || said(u"userRateLimitExceeded", u"Rate Limit Exceeded") ||
        said(u"rateLimitExceeded", u"Rate Limit Exceeded")) {
      return TRefusalKind::TooManyRequests;
    }
    return TRefusalKind::Authentication;
  }
  switch (status) {
    case 401:
      return TRefusalKind::Authentication;
    case 400:
      return said(u"API_KEY_INVALID", u"API key not valid") ? TRefusalKind::Authentication : TRefusalKind::ThisRequest;
    case 413:
    case 414:
      return TRefusalKind::ThisRequest;
    default:
      return TRefusalKind::Other;
  }
}

}  // namespace

std::u16string GoogleCloudDefaultHost(std::u16string_view) { return u"translation.googleapis.com"; }

std::u16string GoogleCloudCode(std::u16string_view code) {
  const std::vector<std::u16string> subtags = LanguageSubtags(code);
  const std::u16string& base = subtags[0];
  if (base.empty() || base == u"auto") return {};
  if (base == u"zh") return IsTraditionalChinese(subtags) ? u"zh-TW" : u"zh-CN";
  if (base == u"pt") return HasSubtag(subtags, {u"br"}) ? u"pt" : u"pt-PT";
  if (base == u"nb") return u"no";
  if (base == u"iw") return u"he";
  return base;
}

size_t GoogleCloudTextBytes(std::u16string_view text) { return JsonStringBytes(text) + 1; }

TEngineRequest BuildGoogleCloudRequest(const TEngineEndpoint& endpoint, std::span<const std::u16string> texts,
                                       const std::u16string& langs_out, const std::u16string& langs_in,
                                       TTextFormat format) {
  TEngineRequest request;
  request.Url = endpoint.Origin() + u"/language/translate/v2";
  request.CustomHeaders = {{u"Content-Type", u"application/json; charset=utf-8"}, {u"x-goog-api-key", endpoint.ApiKey}};
  request.CarriesCredentials = true;
  std::u16string body = u"{\"q\":[";
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) body += u',';
    AppendJsonString(body, texts[i]);
  }
  body += u']';
  if (const std::u16string source = GoogleCloudCode(langs_in); !source.empty()) {
    body += u",\"source\":";
    AppendJsonString(body, source);
  }
  body += u",\"target\":";
  AppendJsonString(body, GoogleCloudCode(langs_out));
  // html, Google's default, would also answer plain text with its characters written as entities.
  body += format == TTextFormat::Markup ? u",\"format\":\"html\"}" : u",\"format\":\"text\"}";
  request.Body = Utf8Body(body);
  return request;
}

std::vector<std::u16string> ExtractGoogleCloudTranslations(std::u16string_view reply, TReplyText form, size_t texts) {
  TJsonValue document = ParseJsonReply(reply, form, kEngine, kReplyPaths);
  TJsonValue* data = document.Find(u"data", TJsonValue::TKind::Object);
  TJsonValue* translations = data ? data->Find(u"translations", TJsonValue::TKind::Array) : nullptr;
  if (!translations) {
    const TJsonValue* error = document.Find(u"error", TJsonValue::TKind::Object);
    const TJsonValue* message = error ? error->Find(u"message", TJsonValue::TKind::String) : nullptr;
    if (message && !Trim(message->Text).empty()) throw Exception(u"GoogleCloud: " + message->Text);
    throw Exception("GoogleCloud: the reply holds no translations");
  }
  std::vector<std::u16string> results;
  for (TJsonValue& item : translations->Items) {
    TJsonValue* text = item.Find(u"translatedText", TJsonValue::TKind::String);
    if (!text) throw Exception("GoogleCloud: a translation of the reply holds no text");
    results.push_back(std::move(text->Text));
  }
  CheckTranslationCount(u"GoogleCloud", results.size(), texts);
  return results;
}

std::optional<TRefusal> GoogleCloudRefusal(int status, std::u16string_view body, TReplyText form) {
  std::u16string message;
  std::vector<std::u16string> reasons;
  try {
    const TJsonValue document = ParseJsonReply(body, form, kEngine, kRefusalPaths);
    if (const TJsonValue* error = document.Find(u"error", TJsonValue::TKind::Object)) {
      if (const TJsonValue* found = error->Find(u"message", TJsonValue::TKind::String)) message = Trim(found->Text);
      reasons = ReasonsOf(*error);
    }
  } catch (const Exception&) {
    // An empty body, or an error page of something in between.
  }
  TRefusal refusal;
  refusal.Kind = KindOf(status, reasons, message);
  if (message.empty()) return RefusalOf(u"GoogleCloud", refusal.Kind, status, std::nullopt);
  return RefusalOf(u"GoogleCloud", refusal.Kind, status, std::move(message));
}

}  // namespace tessarine::translate
