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

// Microsoft Translator (Azure AI Translator, API v3), reached with [Engines] MicrosoftKey=, MicrosoftRegion= for a
// regional resource, and Microsoft= for another host.
namespace tessarine::translate {

// What one request may hold: elements, and characters of them all together.
inline constexpr size_t kMicrosoftMaxTexts = 1000;
inline constexpr size_t kMicrosoftMaxChars = 50000;
// The [Engines] setting naming the resource's region, sent when set (regional and multi-service resources need it).
inline constexpr std::u16string_view kMicrosoftRegionSetting = u"MicrosoftRegion";

std::u16string MicrosoftDefaultHost(std::u16string_view key);

// The suite's codes as Microsoft takes them: zh-Hans, or zh-Hant for Traditional Chinese (zh-TW, zh-HK, zh-MO,
// zh-Hant); pt for Brazilian Portuguese and pt-pt for other Portuguese; fr-ca; sr-Latn, or sr-Cyrl for other
// Serbian; mn-Cyrl; nb for Norwegian (no); other languages as their base code (en-GB as en). Empty for an empty
// code or "auto", which leaves the source to Microsoft to detect.
std::u16string MicrosoftCode(std::u16string_view code);

// Characters as Microsoft counts them for its limits: Unicode code points.
size_t MicrosoftTextChars(std::u16string_view text);

// POST /translate?api-version=3.0&from=..&to=.. with the key in Ocp-Apim-Subscription-Key (and the region in
// Ocp-Apim-Subscription-Region when set) and the body [{"Text":"..."},...]. With format Markup textType=html, so
// that the pieces in notranslate spans stay as they are.
TEngineRequest BuildMicrosoftRequest(const TEngineEndpoint& endpoint, std::span<const std::u16string> texts,
                                     const std::u16string& langs_out, const std::u16string& langs_in,
                                     TTextFormat format = TTextFormat::Plain);

// [i].translations[0].text of the reply, one per text sent, in order (a UTF-8 byte order mark may lead it); raises
// tessarine::Exception "Microsoft: ..." for a reply that is not JSON or holds another number of translations.
std::vector<std::u16string> ExtractMicrosoftTranslations(std::u16string_view reply, TReplyText form, size_t texts);

// A refused request: {"error":{"code":403001,"message":...}} in Microsoft's words, or for an empty or unreadable
// body a message from the status. The six-digit code (the status and a sub-code) gives the kind: 403001 the free
// quota, 401xxx and other 403xxx the key, 429xxx too many requests, 400xxx, 413xxx and 414xxx this request alone.
std::optional<TRefusal> MicrosoftRefusal(int status, std::u16string_view body, TReplyText form);

}  // namespace tessarine::translate
