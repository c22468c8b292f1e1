#pragma once

#include <string>
#include <string_view>

#include "translate/engine_endpoint.h"
#include "translate/engine_request.h"
#include "translate/json_reply.h"

// The self-hosted LibreTranslate engine, reached at [Engines] LibreTranslate= with LibreTranslateKey=.
namespace tessarine::translate {

// POST /translate with the JSON object {"q", "source", "target", "format": "text"} and "api_key" when set;
// "format": "html" for Markup.
TEngineRequest BuildLibreTranslateRequest(const TEngineEndpoint& config, const std::u16string& text,
                                          const std::u16string& langs_out, const std::u16string& langs_in,
                                          TTextFormat format = TTextFormat::Plain);

// The translatedText member of the reply's JSON object. A reply that is not a JSON object, or has no text member
// of that name, raises tessarine::Exception, with the reply's "error" when it has one.
std::u16string ExtractLibreTranslation(std::u16string_view reply, TReplyText form = TReplyText::Bytes);

}  // namespace tessarine::translate
