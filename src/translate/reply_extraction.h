#pragma once

#include <string>

#include "translate/json_reply.h"

namespace tessarine::translate {

// Cuts the translation out of the reply of engine servises and unescapes it, as characters whichever form the
// reply came in. Markers that are missing give an empty result; a SYSTRAN reply with fewer than two items raises
// EStringListError "List index out of bounds (1)". Any other index gives an empty result.
std::u16string ExtractTranslation(int servises, const std::u16string& reply, TReplyText form);

}  // namespace tessarine::translate
