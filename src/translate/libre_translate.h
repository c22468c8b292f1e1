#pragma once

#include <string>
#include <string_view>

#include "translate/engine_endpoint.h"
#include "translate/engine_request.h"
#include "translate/json_reply.h"

// The self-hosted LibreTranslate engine, reached at [Engines] LibreTranslate= with LibreTranslateKey=.
namespace tessarine::translate {

// POST /translate with the JSON object {"q", "source", "target", "format": "text"} and "api_key" when set.
TEngineRequest BuildLibreTranslateRequest(const TEngineEndpoint& config, const std::u16string& text,
                                          const std::u16string& langs_out, const std::u16string& langs_in);

// The translatedText member of the reply's JSON object. The result is in the form the other engines' raw
// UTF-8 replies take (one character per byte above ASCII), so it reaches the local client as UTF-8.
// A reply that is not a JSON object, or has no text member of that name, raises tessarine::Exception.
std::u16string ExtractLibreTranslation(std::u16string_view reply, TReplyText form = TReplyText::Bytes);

}  // namespace tessarine::translate
