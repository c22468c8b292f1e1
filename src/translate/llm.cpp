#include "translate/llm.h"

#include <algorithm>
#include <utility>

#include "common/exception.h"
#include "common/text.h"
#include "translate/json_request.h"
#include "translate/keyed_reply.h"
#include "translate/protected_text.h"

namespace tessarine::translate {

namespace {

constexpr char kEngine[] = "LLM";
// "error" for a server that writes the error as a string, as Ollama's own API does.
constexpr std::u16string_view kReplyPaths[] = {u"choices[].message.content", u"choices[].finish_reason", u"error",
                                               u"error.message"};
constexpr std::u16string_view kRefusalPaths[] = {u"error", u"error.message", u"error.type", u"error.code"};

constexpr std::pair<std::u16string_view, std::u16string_view> kLanguages[] = {
    {u"af", u"Afrikaans"},
    {u"ar", u"Arabic"},
    {u"az", u"Azerbaijani"},
    {u"be", u"Belarusian"},
    {u"bg", u"Bulgarian"},
    {u"bn", u"Bengali"},
    {u"bs", u"Bosnian"},
    {u"ca", u"Catalan"},
    {u"cs", u"Czech"},
    {u"cy", u"Welsh"},
    {u"da", u"Danish"},
    {u"de", u"German"},
    {u"el", u"Greek"},
    {u"en", u"English"},
    {u"eo", u"Esperanto"},
    {u"es", u"Spanish"},
    {u"et", u"Estonian"},
    {u"eu", u"Basque"},
    {u"fa", u"Persian"},
    {u"fi", u"Finnish"},
    {u"fr", u"French"},
    {u"ga", u"Irish"},
    {u"gl", u"Galician"},
    {u"he", u"Hebrew"},
    {u"hi", u"Hindi"},
    {u"hr", u"Croatian"},
    {u"hu", u"Hungarian"},
    {u"hy", u"Armenian"},
    {u"id", u"Indonesian"},
    {u"is", u"Icelandic"},
    {u"it", u"Italian"},
    {u"ja", u"Japanese"},
    {u"ka", u"Georgian"},
    {u"kk", u"Kazakh"},
    {u"ko", u"Korean"},
    {u"lt", u"Lithuanian"},
    {u"lv", u"Latvian"},
    {u"mk", u"Macedonian"},
    {u"ms", u"Malay"},
    {u"mt", u"Maltese"},
    {u"nb", u"Norwegian Bokmål"},
    {u"nl", u"Dutch"},
    {u"nn", u"Norwegian Nynorsk"},
    {u"no", u"Norwegian"},
    {u"pl", u"Polish"},
    {u"pt", u"Portuguese"},
    {u"ro", u"Romanian"},
    {u"ru", u"Russian"},
    {u"sk", u"Slovak"},
    {u"sl", u"Slovenian"},
    {u"sq", u"Albanian"},
    {u"sr", u"Serbian"},
    {u"sv", u"Swedish"},
    {u"sw", u"Swahili"},
    {u"ta", u"Tamil"},
    {u"th", u"Thai"},
    {u"tr", u"Turkish"},
    {u"uk", u"Ukrainian"},
    {u"ur", u"Urdu"},
    {u"uz", u"Uzbek"},
    {u"vi", u"Vietnamese"},
    {u"zh", u"Chinese"},
};

// A code's subtags, lower-cased: "zh_Hant-TW" gives zh, hant, tw.
std::vector<std::u16string> Subtags(std::u16string_view code) {
  std::vector<std::u16string> subtags{{}};
  for (char16_t c : Trim(code)) {
    if (c == u'-' || c == u'_') {
      subtags.emplace_back();
    } else {
      subtags.back() += ToLowerAscii(c);
    }
  }
  return subtags;
}

bool HasSubtag(const std::vector<std::u16string>& subtags, std::initializer_list<std::u16string_view> any) {
  return std::any_of(subtags.begin() + 1, subtags.end(), [&](const std::u16string& subtag) {
    return std::find(any.begin(), any.end(), subtag) != any.end();
  });
}

// The code as the instructions show it: what a language code may hold, so that a request's code cannot bring
// instructions of its own.
std::u16string ShownCode(std::u16string_view code) {
  std::u16string shown;
  for (char16_t c : Trim(code)) {
    if (shown.size() == 16) break;
    if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'-' || c == u'_')
      shown += c;
  }
  return shown;
}

std::u16string Named(std::u16string_view code) {
  const std::u16string shown = ShownCode(code);
  const std::u16string name = LLMLanguageName(shown);
  return name == shown ? u"the language " + shown : name + u" (" + shown + u")";
}

// The answer without the model's reasoning: every <think>...</think>, and what comes before a closing tag
// without an opening one (some chat templates open the block in the prompt). An unclosed block runs to the end.
std::u16string WithoutThinking(std::u16string text) {
  constexpr std::u16string_view kOpen = u"<think>";
  constexpr std::u16string_view kClose = u"</think>";
  const size_t open = text.find(kOpen);
  const size_t close = text.find(kClose);
  if (close != std::u16string::npos && (open == std::u16string::npos || close < open)) {
    text.erase(0, close + kClose.size());
  }
  for (size_t start = text.find(kOpen); start != std::u16string::npos; start = text.find(kOpen, start)) {
    const size_t end = text.find(kClose, start);
    text.erase(start, end == std::u16string::npos ? std::u16string::npos : end + kClose.size() - start);
  }
  return text;
}

// The error's message: error.message, or error itself when it is a string.
std::optional<std::u16string> ErrorMessage(const TJsonValue& document) {
  const TJsonValue* error = document.Find(u"error", TJsonValue::TKind::Object);
  const TJsonValue* message =
      error ? error->Find(u"message", TJsonValue::TKind::String) : document.Find(u"error", TJsonValue::TKind::String);
  if (!message || Trim(message->Text).empty()) return std::nullopt;
  return std::u16string(Trim(message->Text));
}

// The bill or the budget is spent (OpenAI's 429 insufficient_quota and the spend limits' codes), which no retry
// cures, unlike its rate limits, which come with the same status.
bool QuotaSpent(const TJsonValue& document) {
  const TJsonValue* error = document.Find(u"error", TJsonValue::TKind::Object);
  if (!error) return false;
  for (std::u16string_view member : {u"type", u"code"}) {
    const TJsonValue* value = error->Find(member, TJsonValue::TKind::String);
    if (!value) continue;
    for (std::u16string_view spent :
         {u"insufficient_quota", u"credit_balance_exhausted", u"organization_spend_limit_exceeded",
          u"project_spend_limit_exceeded", u"organization_usage_limit_exceeded"}) {
      if (value->Text == spent) return true;
    }
  }
  return false;
}

}  // namespace

std::u16string LLMLanguageName(std::u16string_view code) {
  const std::vector<std::u16string> subtags = Subtags(code);
  const std::u16string& base = subtags[0];
  if (base == u"zh")
    return HasSubtag(subtags, {u"hant", u"tw", u"hk", u"mo"}) ? u"Traditional Chinese" : u"Simplified Chinese";
  if (base == u"pt" && HasSubtag(subtags, {u"br"})) return u"Brazilian Portuguese";
  if (base == u"pt" && HasSubtag(subtags, {u"pt"})) return u"European Portuguese";
  if (base == u"en" && HasSubtag(subtags, {u"gb", u"uk"})) return u"British English";
  if (base == u"en" && HasSubtag(subtags, {u"us"})) return u"American English";
  if (base == u"sr" && HasSubtag(subtags, {u"latn"})) return u"Serbian in Latin script";
  if (base == u"sr" && HasSubtag(subtags, {u"cyrl"})) return u"Serbian in Cyrillic script";
  for (const auto& [known, name] : kLanguages) {
    if (base == known) return std::u16string(name);
  }
  return std::u16string(Trim(code));
}

std::u16string LLMInstructions(const std::u16string& langs_out, const std::u16string& langs_in, TTextFormat format) {
  const std::u16string source = ShownCode(langs_in);
  std::u16string text = u"Translate the user's text, a string of a program's user interface, ";
  if (!source.empty() && !SameTextAscii(source, u"auto")) text += u"from " + Named(source) + u" ";
  text += u"to " + Named(langs_out) +
          u". Answer with the translation alone: no quotes, notes, explanations or code fences. Keep its line "
          u"breaks.";
  if (format == TTextFormat::Tokens) {
    text += u' ';
    text += KeepTokensInstruction(TTokenForm::Bracketed);
  }
  return text;
}

TEngineRequest BuildLLMRequest(const TEngineEndpoint& endpoint, std::span<const std::u16string> texts,
                               const std::u16string& langs_out, const std::u16string& langs_in, TTextFormat format) {
  if (texts.size() != 1) throw Exception("LLM: one text a call");
  constexpr std::u16string_view kRoute = u"/chat/completions";
  TEngineRequest request;
  // Users paste the base URL or the whole endpoint; a host alone means the usual /v1.
  request.Url = endpoint.Base();
  if (endpoint.Path.empty()) request.Url += u"/v1";
  if (!endpoint.Path.ends_with(kRoute)) request.Url += kRoute;
  request.CustomHeaders = {{u"Content-Type", u"application/json"}};
  if (!endpoint.ApiKey.empty()) {
    request.CustomHeaders.emplace_back(u"Authorization", u"Bearer " + endpoint.ApiKey);
    request.CarriesCredentials = true;
  }
  std::u16string body = u"{\"model\":";
  AppendJsonString(body, endpoint.Setting(u"LLMModel"));
  body += u",\"messages\":[{\"role\":\"system\",\"content\":";
  AppendJsonString(body, LLMInstructions(langs_out, langs_in, format));
  body += u"},{\"role\":\"user\",\"content\":";
  AppendJsonString(body, texts.front());
  // Servers stream the answer in pieces unless told not to.
  body += u"}],\"stream\":false}";
  request.Body = Utf8Body(body);
  return request;
}

std::vector<std::u16string> ExtractLLMTranslations(std::u16string_view reply, TReplyText form, size_t texts) {
  if (texts != 1) throw Exception("LLM: one text a call");
  TJsonValue document = ParseJsonReply(reply, form, kEngine, kReplyPaths);
  TJsonValue* choices = document.Find(u"choices", TJsonValue::TKind::Array);
  if (!choices || choices->Items.empty()) {
    if (const std::optional<std::u16string> message = ErrorMessage(document)) throw Exception(u"LLM: " + *message);
    throw Exception("LLM: the reply holds no answer");
  }
  TJsonValue& choice = choices->Items.front();
  if (const TJsonValue* finish = choice.Find(u"finish_reason", TJsonValue::TKind::String)) {
    // A translation cut short is no translation.
    if (finish->Text == u"length") throw Exception("LLM: the answer was cut off at the model's length limit");
    if (finish->Text == u"content_filter") throw Exception("LLM: the answer was withheld by a content filter");
  }
  TJsonValue* message = choice.Find(u"message", TJsonValue::TKind::Object);
  TJsonValue* content = message ? message->Find(u"content", TJsonValue::TKind::String) : nullptr;
  if (!content) throw Exception("LLM: the reply holds no answer");
  return {std::u16string(Trim(WithoutThinking(std::move(content->Text))))};
}

std::optional<TRefusal> LLMRefusal(int status, std::u16string_view body, TReplyText form) {
  std::optional<std::u16string> message;
  bool quotaSpent = false;
  try {
    const TJsonValue document = ParseJsonReply(body, form, kEngine, kRefusalPaths);
    message = ErrorMessage(document);
    quotaSpent = QuotaSpent(document);
  } catch (const Exception&) {
    // An empty body, or the error page of a proxy in between.
  }
  TRefusal refusal;
  switch (status) {
    case 429:
      refusal.Kind = quotaSpent ? TRefusalKind::Quota : TRefusalKind::TooManyRequests;
      break;
    case 401:
    case 403:
      refusal.Kind = TRefusalKind::Authentication;
      break;
    case 400:
    case 413:
      // A text too long for the model's context, say: the next one may pass.
      refusal.Kind = TRefusalKind::ThisRequest;
      break;
    default:
      refusal.Kind = TRefusalKind::Other;
  }
  return RefusalOf(u"LLM", refusal.Kind, status, std::move(message));
}

}  // namespace tessarine::translate
