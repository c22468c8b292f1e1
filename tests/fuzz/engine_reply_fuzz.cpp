// Arbitrary bytes as the text of an engine's reply, read by every engine's reader in both forms (one character
// per byte, or decoded characters): the cut between markers, the unescaping, the JSON readers of the optional
// engines and the pairs list must end with a translation or an exception, never crash or hang, and what they
// return is never longer than the reply. An odd first byte reads the rest as UTF-16 code units (two bytes each),
// so characters beyond Latin-1, lone surrogates included, are reached too; otherwise one character per byte.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/exception.h"
#include "translate/apertium.h"
#include "translate/libre_translate.h"
#include "translate/reply_extraction.h"
#include "translate/service_interfaces.h"
#include "translate/text_codecs.h"

namespace {

using namespace tessarine;
using namespace tessarine::translate;

std::u16string toText(const uint8_t* data, size_t size) {
  std::u16string text;
  if (size > 0 && (data[0] & 1) != 0) {
    for (size_t i = 1; i + 1 < size; i += 2) text.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  } else {
    for (size_t i = size > 0 ? 1 : 0; i < size; ++i) text.push_back(static_cast<char16_t>(data[i]));
  }
  return text;
}

void atMost(const std::u16string& result, const std::u16string& reply) {
  // "error" is UnescapeText's answer of its own.
  if (result.size() > reply.size() && result != u"error") std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::u16string reply = toText(data, size);
  atMost(CharactersFromUtf8Bytes(reply), reply);
  atMost(UnescapeJsonText(reply), reply);
  for (TReplyText form : {TReplyText::Bytes, TReplyText::Characters}) {
    for (int engine = 0; engine < kEngineCount; ++engine) {
      try {
        atMost(ExtractTranslation(engine, reply, form), reply);
      } catch (const Exception&) {
        // SYSTRAN's reply without a second item.
      }
    }
    try {
      atMost(ExtractApertiumTranslation(reply, form), reply);
    } catch (const Exception&) {
    }
    try {
      atMost(ExtractLibreTranslation(reply, form), reply);
    } catch (const Exception&) {
    }
    try {
      for (const std::u16string& pair : ApertiumPairs(reply, form)) atMost(pair, reply);
    } catch (const Exception&) {
    }
    if (const auto refusal = ApertiumRefusal(reply, form)) atMost(*refusal, reply);
  }
  return 0;
}
