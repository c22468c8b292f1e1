#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "translate/service_interfaces.h"

// What the keyed engines' reply readers share once they have read their own JSON.
namespace tessarine::translate {

// The refusal of kind for an error reply with status: the engine's own message when it gave one, else the kind's
// words with the status ("DeepL: quota exceeded (456)"); nullopt when neither says more than the status would.
std::optional<TRefusal> RefusalOf(std::u16string_view engine, TRefusalKind kind, int status,
                                  std::optional<std::u16string> message);

// Throws unless a reply gave one translation for each text sent: a short or long list cannot be matched to them.
void CheckTranslationCount(std::u16string_view engine, size_t translations, size_t texts);

}  // namespace tessarine::translate
