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
    // A self-hosted LibreTranslate server; it has no picture of its own and shows the server's.
    {kLibreTranslate, u"LibreTranslate", u"LibreTranslateKey", 0, "online", BuildLibreTranslateRequest,
     ReadLibreTranslateReply, nullptr, u"", nullptr, false},
    {kApertium, u"Apertium", u"", kApertiumDefaultPort, "apertium", BuildApertiumRequest, ExtractApertiumTranslation,
     ApertiumRefusal, u"/listPairs", ApertiumPairs, true},
}};

}  // namespace

std::span<const TOptionalEngine> OptionalEngines() { return kOptionalEngines; }

const TOptionalEngine* FindOptionalEngine(int index) {
  for (const TOptionalEngine& engine : kOptionalEngines) {
    if (engine.Index == index) return &engine;
  }
  return nullptr;
}

}  // namespace tessarine::translate
