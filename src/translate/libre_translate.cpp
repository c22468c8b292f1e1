#include "translate/libre_translate.h"

#include <utility>

#include "common/exception.h"
#include "common/text.h"

namespace tessarine::translate {

namespace {

void AppendJsonString(std::u16string& out, std::u16string_view text) {
  static constexpr char16_t kHex[] = u"0123456789abcdef";
  out += u'"';
  for (char16_t c : text) {
    switch (c) {
      case u'"':
        out += u"\\\"";
        break;
      case u'\\':
        out += u"\\\\";
        break;
      case u'\n':
        out += u"\\n";
        break;
      case u'\r':
        out += u"\\r";
        break;
      case u'\t':
        out += u"\\t";
        break;
      default:
        if (c < 0x20) {
          out += u"\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += u'"';
}

}  // namespace

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
  const std::string utf8 = ToUtf8(body);
  request.Body = std::vector<uint8_t>(utf8.begin(), utf8.end());
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
