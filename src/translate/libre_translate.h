#pragma once

#include <string>
#include <string_view>

#include "translate/engine_request.h"

namespace tessarine::translate {

// Where the self-hosted LibreTranslate engine is reached, from [Engines] LibreTranslate= and
// LibreTranslateKey=.
struct TLibreTranslateConfig {
  // "host" or "host:port", as the other engines' hosts.
  std::u16string Host;
  bool Https = false;
  // Sent as "api_key" when not empty.
  std::u16string ApiKey;

  // Reads "host:port", optionally after "http://" or "https://" (a server behind a TLS load balancer).
  // Raises tessarine::Exception "Invalid engine host: ..." for anything else.
  static TLibreTranslateConfig Parse(std::u16string_view entry, std::u16string_view apiKey);
};

// POST /translate with the JSON object {"q", "source", "target", "format": "text"} and "api_key" when set.
TEngineRequest BuildLibreTranslateRequest(const TLibreTranslateConfig& config, const std::u16string& text,
                                          const std::u16string& langs_out, const std::u16string& langs_in);

// The translatedText member of the reply's JSON object. The result is in the form the other engines' raw
// UTF-8 replies take (one character per byte above ASCII), so it reaches the local client as UTF-8.
// A reply that is not a JSON object, or has no text member of that name, raises tessarine::Exception.
std::u16string ExtractLibreTranslation(std::u16string_view reply);

}  // namespace tessarine::translate
