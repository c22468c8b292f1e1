#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "translate/babylon_table.h"
#include "translate/engine_hosts.h"
#include "translate/protected_text.h"

namespace tessarine::translate {

// One engine request as it goes to the upstream client: a GET when Body is absent, otherwise a POST.
struct TEngineRequest {
  std::u16string Url;
  // Custom header lines (name, value) in the order they are added.
  std::vector<std::pair<std::u16string, std::u16string>> CustomHeaders;
  std::optional<std::vector<uint8_t>> Body;
  // A key rides in the body (see IUpstreamClient::SetCarriesCredentials).
  bool CarriesCredentials = false;
};

// How an engine is to read the text of a request (see protected_text.h for the tokens):
enum class TTextFormat {
  // The suite's text as it is ([Protect] off).
  Plain,
  // Plain text that carries tokens of a plain form ([X1X]): a language model's instructions then carry
  // KeepTokensInstruction of the engine's form.
  Tokens,
  // Markup: the engine is switched to reading XML or HTML (DeepL's tag_handling, Microsoft's textType=html, ...)
  // and keeps the elements where they stand; "& < >" of the text arrive escaped.
  Markup,
};

// What an engine is told of a text sent in form, or sent as it is (nullopt).
TTextFormat TextFormatOf(std::optional<TTokenForm> form);

// The token form that built-in engine servises (0 to 5) keeps best, for texts sent with [Protect] on.
TTokenForm BuiltInTokenForm(int servises);

// Builds the request of engine servises (0 to 5) for text from langs_in to langs_out; nullopt for any
// other index. The codes are inserted as they are.
std::optional<TEngineRequest> BuildEngineRequest(int servises, const std::u16string& text,
                                                 const std::u16string& langs_out, const std::u16string& langs_in,
                                                 const TEngineHosts& hosts, const TBabylonTable& babylon);

}  // namespace tessarine::translate
