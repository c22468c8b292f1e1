#pragma once

#include <string>

namespace tessarine::translate {

// Cuts the translation out of the reply of engine servises and unescapes it. Markers that are
// missing give an empty result; a SYSTRAN reply with fewer than two items raises
// EStringListError "List index out of bounds (1)". Any other index gives an empty result.
std::u16string ExtractTranslation(int servises, const std::u16string& reply);

}  // namespace tessarine::translate
