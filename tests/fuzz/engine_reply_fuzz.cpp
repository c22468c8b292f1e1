// Arbitrary bytes as the text of an engine's reply, read by every engine's reader in both forms (one character
// per byte, or decoded characters): the cut between markers, the unescaping, and the reply, refusal and pairs
// readers of every optional engine of the table must end with a result or an exception, never crash or hang, and
// what they return is never longer than the reply (a refusal's message: than the reply and a few words of its
// own). An odd first byte reads the rest as UTF-16 code units (two bytes each), so characters beyond Latin-1, lone
// surrogates included, are reached too; otherwise one character per byte.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/exception.h"
#include "translate/optional_engines.h"
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
    for (const TOptionalEngine& engine : OptionalEngines()) {
      for (size_t texts : {size_t{1}, size_t{2}}) {
        try {
          for (const std::u16string& result : engine.ReadReply(reply, form, texts)) atMost(result, reply);
        } catch (const Exception&) {
        }
      }
      if (engine.ReadRefusal) {
        for (int status : {400, 403, 429, 456, 500}) {
          // The message may name the engine and say the status on top of what the body holds.
          const auto refusal = engine.ReadRefusal(status, reply, form);
          if (refusal && refusal->Message.size() > reply.size() + 64) std::abort();
        }
      }
      if (engine.ReadPairs) {
        try {
          for (const std::u16string& pair : engine.ReadPairs(reply, form)) atMost(pair, reply);
        } catch (const Exception&) {
        }
      }
    }
  }
  return 0;
}
