#include "translate/optional_engines.h"

#include <array>

#include "translate/apertium.h"
#include "translate/libre_translate.h"

namespace tessarine::translate {

namespace {

std::u16string ReadLibreTranslateReply(std::u16string_view reply, TReplyText form) {
  return ExtractLibreTranslation(reply, form);
}

const std::array<TOptionalEngine, kAllEngineCount - kEngineCount> kOptionalEngines{{
    // A self-hosted LibreTranslate server; it has no picture of its own and shows the server's. Told that the text
    // is HTML, it parses it and translates only the text between the elements, so its neural model never sees a
    // token; its parser writes an empty element back as a pair, the form sent.
    {kLibreTranslate, u"LibreTranslate", u"LibreTranslateKey", 0, "online", BuildLibreTranslateRequest,
     ReadLibreTranslateReply, nullptr, u"", nullptr, false, TTokenForm::XmlPair},
    // Measured: it keeps empty elements in place, and translates the words around them as words.
    {kApertium, u"Apertium", u"", kApertiumDefaultPort, "apertium", BuildApertiumRequest, ExtractApertiumTranslation,
     ApertiumRefusal, u"/listPairs", ApertiumPairs, true, TTokenForm::XmlTag},
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
