#include "translate/optional_engines.h"

#include <array>

#include "common/exception.h"
#include "translate/apertium.h"
#include "translate/deepl.h"
#include "translate/google_cloud.h"
#include "translate/libre_translate.h"
#include "translate/llm.h"
#include "translate/microsoft.h"
#include "translate/yandex_cloud.h"

namespace tessarine::translate {

namespace {

// A keyed online service takes a few calls at once from one user; more would count against its rate limits
// sooner than they save time.
constexpr size_t kKeyedCallsAtOnce = 4;

// The engines of one text a call.
const std::u16string& OnlyText(std::span<const std::u16string> texts) {
  if (texts.size() != 1) throw Exception("This engine takes one text a call");
  return texts.front();
}

TEngineRequest BuildLibreTranslate(const TEngineEndpoint& endpoint, std::span<const std::u16string> texts,
                                   const std::u16string& langs_out, const std::u16string& langs_in,
                                   TTextFormat format) {
  return BuildLibreTranslateRequest(endpoint, OnlyText(texts), langs_out, langs_in, format);
}

std::vector<std::u16string> ReadLibreTranslate(std::u16string_view reply, TReplyText form, size_t) {
  return {ExtractLibreTranslation(reply, form)};
}

TEngineRequest BuildApertium(const TEngineEndpoint& endpoint, std::span<const std::u16string> texts,
                             const std::u16string& langs_out, const std::u16string& langs_in, TTextFormat format) {
  return BuildApertiumRequest(endpoint, OnlyText(texts), langs_out, langs_in, format);
}

std::vector<std::u16string> ReadApertium(std::u16string_view reply, TReplyText form, size_t) {
  return {ExtractApertiumTranslation(reply, form)};
}

std::optional<TRefusal> ApertiumRefusalOf(int, std::u16string_view body, TReplyText form) {
  auto explanation = ApertiumRefusal(body, form);
  if (!explanation) return std::nullopt;
  return TRefusal{std::move(*explanation), TRefusalKind::ThisRequest};
}

constexpr TEngineSetting kMicrosoftSettings[] = {{kMicrosoftRegionSetting, false}};
constexpr TEngineSetting kYandexCloudSettings[] = {{u"YandexCloudFolder", false}};
constexpr TEngineSetting kLLMSettings[] = {{u"LLMModel", true}};

const std::array<TOptionalEngine, 7> kOptionalEngines{{
    // A self-hosted LibreTranslate server; it has no picture of its own and shows the server's. Told that the text
    // is HTML, it parses it and translates only the text between the elements, so its neural model never sees a
    // token; its parser writes an empty element back as a pair, the form sent.
    {.Index = kLibreTranslate,
     .Name = u"LibreTranslate",
     .KeyName = u"LibreTranslateKey",
     .Picture = "online",
     .BuildRequest = BuildLibreTranslate,
     .ReadReply = ReadLibreTranslate,
     .Tokens = TTokenForm::XmlPair},
    // Measured: it keeps empty elements in place, and translates the words around them as words.
    {.Index = kApertium,
     .Name = u"Apertium",
     .DefaultPort = kApertiumDefaultPort,
     .Picture = "apertium",
     .BuildRequest = BuildApertium,
     .ReadReply = ReadApertium,
     .ReadRefusal = ApertiumRefusalOf,
     .PairsPath = u"/listPairs",
     .ReadPairs = ApertiumPairs,
     // A service on this machine with a pipeline of its own, which overlaps a handful of requests.
     .CallsAtOnce = 4,
     .Tokens = TTokenForm::XmlTag},
    {.Index = kDeepL,
     .Name = u"DeepL",
     .KeyName = u"DeepLKey",
     .NeedsKey = true,
     .DefaultHost = DeepLDefaultHost,
     .Form = {.HttpsByDefault = true},
     .Picture = "deepl",
     .BuildRequest = BuildDeepLRequest,
     .ReadReply = ExtractDeepLTranslations,
     .ReadRefusal = DeepLRefusal,
     .CallsAtOnce = kKeyedCallsAtOnce,
     .Batch = {.MaxTexts = kDeepLMaxTexts, .MaxCost = kDeepLMaxTextBytes, .Cost = DeepLTextBytes},
     // Told to handle XML and to leave the x element alone, it keeps the pair and moves it with its words.
     .Tokens = TTokenForm::XmlPair},
    {.Index = kMicrosoft,
     .Name = u"Microsoft",
     .KeyName = u"MicrosoftKey",
     .NeedsKey = true,
     .Settings = kMicrosoftSettings,
     .DefaultHost = MicrosoftDefaultHost,
     .Form = {.HttpsByDefault = true},
     .Picture = "microsoft",
     .BuildRequest = BuildMicrosoftRequest,
     .ReadReply = ExtractMicrosoftTranslations,
     .ReadRefusal = MicrosoftRefusal,
     .CallsAtOnce = kKeyedCallsAtOnce,
     .Batch = {.MaxTexts = kMicrosoftMaxTexts, .MaxCost = kMicrosoftMaxChars, .Cost = MicrosoftTextChars},
     // Told the text is HTML (textType=html), it leaves what a notranslate span holds as it is.
     .Tokens = TTokenForm::NotranslateSpan},
    {.Index = kGoogleCloud,
     .Name = u"GoogleCloud",
     .KeyName = u"GoogleCloudKey",
     .NeedsKey = true,
     .DefaultHost = GoogleCloudDefaultHost,
     .Form = {.HttpsByDefault = true},
     .Picture = "googlecloud",
     .BuildRequest = BuildGoogleCloudRequest,
     .ReadReply = ExtractGoogleCloudTranslations,
     .ReadRefusal = GoogleCloudRefusal,
     .CallsAtOnce = kKeyedCallsAtOnce,
     .Batch = {.MaxTexts = kGoogleCloudMaxTexts, .MaxCost = kGoogleCloudMaxTextBytes, .Cost = GoogleCloudTextBytes},
     // In format=html it leaves an element marked translate="no" as it is.
     .Tokens = TTokenForm::TranslateNoSpan},
    {.Index = kYandexCloud,
     .Name = u"YandexCloud",
     .KeyName = u"YandexCloudKey",
     .NeedsKey = true,
     .Settings = kYandexCloudSettings,
     .DefaultHost = YandexCloudDefaultHost,
     .Form = {.HttpsByDefault = true},
     .Picture = "yandexcloud",
     .BuildRequest = BuildYandexCloudRequest,
     .ReadReply = ExtractYandexCloudTranslations,
     .ReadRefusal = YandexCloudRefusal,
     .CallsAtOnce = kKeyedCallsAtOnce,
     .Batch = {.MaxTexts = kJsonKeptItems, .MaxCost = kYandexCloudMaxChars, .Cost = YandexCloudTextChars},
     // In its HTML mode the pair is markup, left where it stands, and the words around it are translated.
     .Tokens = TTokenForm::XmlPair},
    // One text a call: a model asked for several at once in one answer may merge, split or drop some, and each
    // lost count would cost the whole call again text by text; its calls run side by side instead.
    {.Index = kLLM,
     .Name = u"LLM",
     .KeyName = u"LLMKey",
     .Settings = kLLMSettings,
     .Form = {.HttpsByDefault = true, .TakesPath = true},
     .Picture = "llm",
     .BuildRequest = BuildLLMRequest,
     .ReadReply = ExtractLLMTranslations,
     .ReadRefusal = LLMRefusal,
     .CallsAtOnce = kKeyedCallsAtOnce,
     .CallTimeLimitMs = kLLMCallTimeLimitMs,
     // Plain text with an instruction to keep them: markup would be translated as words, or dropped.
     .Tokens = TTokenForm::Bracketed},
}};

}  // namespace

std::span<const TOptionalEngine> OptionalEngines() { return kOptionalEngines; }

const TOptionalEngine* FindOptionalEngine(int index) {
  for (const TOptionalEngine& engine : kOptionalEngines) {
    if (engine.Index == index) return &engine;
  }
  return nullptr;
}

TTokenForm TokenFormOf(int engine) {
  const TOptionalEngine* optional = FindOptionalEngine(engine);
  return optional ? optional->Tokens : BuiltInTokenForm(engine);
}

}  // namespace tessarine::translate
