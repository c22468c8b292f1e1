#include "translate/libre_translate.h"

#include <utility>

#include "common/exception.h"
#include "common/text.h"
#include "translate/json_request.h"

namespace tessarine::translate {

TEngineRequest BuildLibreTranslateRequest(const TEngineEndpoint& config, const std::u16string& text,
                                          const std::u16string& langs_out, const std::u16string& langs_in,
                                          TTextFormat format) {
  TEngineRequest request;
  request.Url = config.Origin() + u"/translate";
  request.CustomHeaders = {{u"Content-Type", u"application/json"}};
  std::u16string body = u"{\"q\":";
  AppendJsonString(body, text);
  body += u",\"source\":";
  AppendJsonString(body, langs_in);
  body += u",\"target\":";
  AppendJsonString(body, langs_out);
  body += format == TTextFormat::Markup ? u",\"format\":\"html\"" : u",\"format\":\"text\"";
  if (!config.ApiKey.empty()) {
    body += u",\"api_key\":";
    AppendJsonString(body, config.ApiKey);
    request.CarriesCredentials = true;
  }
  body += u'}';
  request.Body = Utf8Body(body);
  return request;
}

std::u16string ExtractLibreTranslation(std::u16string_view reply, TReplyText form) {
  static constexpr std::u16string_view kPaths[] = {u"translatedText", u"error"};
  TJsonValue document = ParseJsonReply(reply, form, "LibreTranslate", kPaths);
  if (TJsonValue* text = document.Find(u"translatedText", TJsonValue::TKind::String)) return std::move(text->Text);
  const TJsonValue* error = document.Find(u"error", TJsonValue::TKind::String);
  if (error && !Trim(error->Text).empty()) throw Exception(u"LibreTranslate: " + error->Text);
  throw Exception("LibreTranslate: the reply holds no translatedText");
}

}  // namespace tessarine::translate
