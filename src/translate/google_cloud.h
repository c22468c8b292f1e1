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

// Google Cloud Translation, Basic edition (API v2), reached with [Engines] GoogleCloudKey= and, for another host,
// GoogleCloud=.
namespace tessarine::translate {

// What one request may hold: segments, and bytes of the body (the texts' share of it).
inline constexpr size_t kGoogleCloudMaxTexts = 128;
inline constexpr size_t kGoogleCloudMaxTextBytes = 100 * 1000 - 256;

std::u16string GoogleCloudDefaultHost(std::u16string_view key);

// The suite's codes as Google takes them: zh-CN, or zh-TW for Traditional Chinese (zh-TW, zh-HK, zh-MO,
// zh-Hant: Google refuses zh-Hant and reads a bare zh as Simplified); pt for Brazilian Portuguese and pt-PT for
// other Portuguese; no for Norwegian (nb); he for Hebrew (iw); other languages as their base code. Empty for an
// empty code or "auto", which leaves the source to Google to detect.
std::u16string GoogleCloudCode(std::u16string_view code);

// The bytes one text adds to a request body.
size_t GoogleCloudTextBytes(std::u16string_view text);

// POST /language/translate/v2 with the key in the x-goog-api-key header (never in the URL, which error texts and
// logs quote) and the body {"q":[...],"source":"en","target":"de","format":"text"}. With format Markup the
// format is html, so that the pieces in translate="no" spans stay as they are.
TEngineRequest BuildGoogleCloudRequest(const TEngineEndpoint& endpoint, std::span<const std::u16string> texts,
                                       const std::u16string& langs_out, const std::u16string& langs_in,
                                       TTextFormat format = TTextFormat::Plain);

// data.translations[].translatedText of the reply, one per text sent, in order, as Google wrote it (format=text
// writes no entities; in html the markup's reader undoes them); raises tessarine::Exception "GoogleCloud: ..." for
// a reply that is not JSON or holds another number of translations.
std::vector<std::u16string> ExtractGoogleCloudTranslations(std::u16string_view reply, TReplyText form, size_t texts);

// A refused request: {"error":{"message":...,"status":...,"errors":[{"reason":...}]}} in Google's words, or for an
// empty or unreadable body a message from the status. A daily limit is the quota; a rate limit (or 429) too many
// requests; an invalid key (400 API_KEY_INVALID), 401 and other 403s the key; other 400s, 413 and 414 this
// request alone.
std::optional<TRefusal> GoogleCloudRefusal(int status, std::u16string_view body, TReplyText form);

}  // namespace tessarine::translate
