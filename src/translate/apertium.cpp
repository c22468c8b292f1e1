#include "translate/apertium.h"

#include <utility>

#include "common/exception.h"
#include "common/text.h"

namespace tessarine::translate {

namespace {

constexpr char kEngine[] = "Apertium";

// What the readers below look at, and so all that a reply may cost in memory.
constexpr std::u16string_view kReplyPaths[] = {u"responseData.translatedText", u"explanation", u"responseDetails"};
constexpr std::u16string_view kPairsPaths[] = {u"responseData[].sourceLanguage", u"responseData[].targetLanguage"};

// Form and query encoding: UTF-8, every byte but the unreserved characters as %XX. Unlike the fixed engines'
// codec, an escape already in the text is encoded again, so "100%25" reaches the service as written.
void AppendEncoded(std::u16string& out, std::u16string_view text) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  for (char byte : ToUtf8(text)) {
    const auto b = static_cast<uint8_t>(byte);
    if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' || b == '.' ||
        b == '_' || b == '~') {
      out += static_cast<char16_t>(b);
    } else {
      out += u'%';
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    }
  }
}

// Its current versions explain a refusal in "explanation", older ones in "responseDetails".
std::optional<std::u16string> Explanation(const TJsonValue& document) {
  for (std::u16string_view name : {u"explanation", u"responseDetails"}) {
    const TJsonValue* explanation = document.Find(name, TJsonValue::TKind::String);
    if (explanation && !Trim(explanation->Text).empty()) return explanation->Text;
  }
  return std::nullopt;
}

}  // namespace

TEngineRequest BuildApertiumRequest(const TEngineEndpoint& endpoint, const std::u16string& text,
                                    const std::u16string& langs_out, const std::u16string& langs_in, TTextFormat) {
  std::u16string query = u"q=";
  AppendEncoded(query, text);
  query += u"&langpair=";
  AppendEncoded(query, langs_in);
  query += u"%7C";
  AppendEncoded(query, langs_out);
  query += u"&markUnknown=no";

  TEngineRequest request;
  constexpr std::u16string_view kPath = u"/translate";
  if (kPath.size() + 1 + query.size() <= kApertiumLongestGetTarget) {
    request.Url = endpoint.Origin() + std::u16string(kPath) + u"?" + query;
    return request;
  }
  request.Url = endpoint.Origin() + std::u16string(kPath);
  request.CustomHeaders = {{u"Content-Type", u"application/x-www-form-urlencoded"}};
  // The query is ASCII.
  request.Body = std::vector<uint8_t>(query.begin(), query.end());
  return request;
}

std::u16string ExtractApertiumTranslation(std::u16string_view reply, TReplyText form) {
  TJsonValue document = ParseJsonReply(reply, form, kEngine, kReplyPaths);
  if (TJsonValue* data = document.Find(u"responseData", TJsonValue::TKind::Object)) {
    if (TJsonValue* text = data->Find(u"translatedText", TJsonValue::TKind::String)) return std::move(text->Text);
  }
  if (auto explanation = Explanation(document)) throw Exception(std::move(*explanation));
  throw Exception("Apertium: the reply holds no translatedText");
}

std::optional<std::u16string> ApertiumRefusal(std::u16string_view body, TReplyText form) {
  try {
    return Explanation(ParseJsonReply(body, form, kEngine, kReplyPaths));
  } catch (const Exception&) {
    return std::nullopt;  // an error page of something else in between, not the service's refusal
  }
}

std::vector<std::u16string> ApertiumPairs(std::u16string_view reply, TReplyText form) {
  const TJsonValue document = ParseJsonReply(reply, form, kEngine, kPairsPaths);
  std::vector<std::u16string> pairs;
  const TJsonValue* data = document.Find(u"responseData", TJsonValue::TKind::Array);
  if (!data) return pairs;
  for (const TJsonValue& item : data->Items) {
    const TJsonValue* from = item.Find(u"sourceLanguage", TJsonValue::TKind::String);
    const TJsonValue* to = item.Find(u"targetLanguage", TJsonValue::TKind::String);
    if (from && to) pairs.push_back(from->Text + u"|" + to->Text);
  }
  return pairs;
}

}  // namespace tessarine::translate
