#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "translate/engine_endpoint.h"
#include "translate/engine_request.h"
#include "translate/json_reply.h"
#include "translate/service_interfaces.h"

// DeepL's API (v2), reached with [Engines] DeepLKey= and, for another host than the key's, DeepL=.
namespace tessarine::translate {

// What one request may hold.
inline constexpr size_t kDeepLMaxTexts = 50;
inline constexpr size_t kDeepLMaxBodyBytes = 128 * 1024;
// The texts' share of it: the rest of the body (the names and the codes) takes well under this room.
inline constexpr size_t kDeepLMaxTextBytes = kDeepLMaxBodyBytes - 256;

// The free plan's host for a key ending in ":fx", else the host of the paid plans.
std::u16string DeepLDefaultHost(std::u16string_view key);

// The suite's codes (en, en-GB, pt_BR, zh-Hant-TW, any case) as DeepL takes them. Sources are base codes ("EN",
// "PT", "ZH"; empty for an empty code or "auto", which leaves it to DeepL to detect). Targets name the variant that
// DeepL requires: EN-GB for British English (also en-AU, en-NZ, en-IE, en-ZA, en-IN), otherwise EN-US; PT-BR for
// pt-BR, otherwise PT-PT; ZH-HANT for Traditional Chinese (zh-Hant, zh-TW, zh-HK, zh-MO), otherwise ZH-HANS. Other
// languages go as their base code, Norwegian (no) as NB.
std::u16string DeepLSourceCode(std::u16string_view code);
std::u16string DeepLTargetCode(std::u16string_view code);

// The bytes one text adds to a request body.
size_t DeepLTextBytes(std::u16string_view text);

// POST /v2/translate with the key in the Authorization header ("DeepL-Auth-Key KEY", never in the body or the URL)
// and the JSON body {"text":[...],"source_lang":"EN","target_lang":"DE"} (no source_lang when it is left to DeepL).
// With format Markup the texts carry protected pieces as x elements: tag_handling=xml and ignore_tags=["x"].
TEngineRequest BuildDeepLRequest(const TEngineEndpoint& endpoint, std::span<const std::u16string> texts,
                                 const std::u16string& langs_out, const std::u16string& langs_in,
                                 TTextFormat format = TTextFormat::Plain);

// translations[].text of the reply, one per text sent, in order; raises tessarine::Exception "DeepL: ..." for a
// reply that is not JSON or holds another number of translations.
std::vector<std::u16string> ExtractDeepLTranslations(std::u16string_view reply, TReplyText form, size_t texts);

// A refused request: the reply's {"message": ...} in DeepL's words, or for an empty or unreadable body a message
// from the status; 456 is the quota, 401 and 403 the key (or its host), 429 and 529 too many requests, 400, 413
// and 414 this request alone. Nothing for another status without a message.
std::optional<TRefusal> DeepLRefusal(int status, std::u16string_view body, TReplyText form);

}  // namespace tessarine::translate
