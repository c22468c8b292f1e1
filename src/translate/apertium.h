#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "translate/engine_endpoint.h"
#include "translate/engine_request.h"
#include "translate/json_reply.h"

// Apertium's HTTP service (apertium-apy), the offline engine on the user's own machine, reached at
// [Engines] Apertium=.
namespace tessarine::translate {

// The port apertium-apy listens on unless told otherwise.
inline constexpr uint16_t kApertiumDefaultPort = 2737;
// The longest request target sent as a GET. The common front servers cut request lines at 8 KiB (nginx's
// default header buffers, Apache's LimitRequestLine), so half of that keeps a service placed behind one in
// reach with the rest of the head; longer texts (a few paragraphs) go as a form POST, which has no such limit.
inline constexpr size_t kApertiumLongestGetTarget = 4096;

// GET /translate?q=TEXT&langpair=IN%7COUT&markUnknown=no, or the same query as a form POST body when the target
// would be longer than kApertiumLongestGetTarget. Text and codes are UTF-8 and percent-encoded, everything but
// the unreserved characters of RFC 3986. markUnknown=no: a word the service does not know comes back as it is,
// not marked with "*". The service keeps markup in place as it is, so the request is the same for either format.
TEngineRequest BuildApertiumRequest(const TEngineEndpoint& endpoint, const std::u16string& text,
                                    const std::u16string& langs_out, const std::u16string& langs_in,
                                    TTextFormat format = TTextFormat::Plain);

// responseData.translatedText of the reply. A reply without it raises:
// with the service's explanation as the message when it has one, else "Apertium: the reply holds no
// translatedText"; a reply that is not JSON raises "Apertium: the reply is not JSON".
std::u16string ExtractApertiumTranslation(std::u16string_view reply, TReplyText form);

// The explanation of a refused request ({"status": "error", ..., "explanation": "That pair is not installed"}),
// or nothing when the body holds none.
std::optional<std::u16string> ApertiumRefusal(std::u16string_view body, TReplyText form);

// The pairs the service offers, from the reply of GET /listPairs, as "eng|spa". Raises as
// ExtractApertiumTranslation for a reply that is not JSON.
std::vector<std::u16string> ApertiumPairs(std::u16string_view reply, TReplyText form);

}  // namespace tessarine::translate
