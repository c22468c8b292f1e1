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

// Yandex Cloud's Translate API (v2), reached with [Engines] YandexCloudKey= (an API key of a service account),
// optionally YandexCloudFolder=, and for another host than its own YandexCloud=.
namespace tessarine::translate {

// The characters the texts of one request may hold together; Yandex does not raise it for anyone.
inline constexpr size_t kYandexCloudMaxChars = 10000;

std::u16string YandexCloudDefaultHost(std::u16string_view key);

// The suite's code (en, en-GB, pt_BR, zh-Hant-TW, any case) as Yandex takes it: the lower-case base code, which is
// all Yandex names a language by; empty for an empty code or "auto", which leaves the source to Yandex to detect.
std::u16string YandexCloudCode(std::u16string_view code);

// The characters one text counts against kYandexCloudMaxChars (UTF-16 units: never fewer than Yandex counts).
size_t YandexCloudTextChars(std::u16string_view text);

// POST /translate/v2/translate with "Authorization: Api-Key KEY" and the JSON body
// {"sourceLanguageCode":"en","targetLanguageCode":"ru","texts":[...]}, "folderId" only when YandexCloudFolder is
// set (a service account's key works in its own folder). With format Markup the texts carry protected pieces as x
// element pairs and go with "format":"HTML".
TEngineRequest BuildYandexCloudRequest(const TEngineEndpoint& endpoint, std::span<const std::u16string> texts,
                                       const std::u16string& langs_out, const std::u16string& langs_in,
                                       TTextFormat format = TTextFormat::Plain);

// translations[].text of the reply, one per text sent, in order; raises tessarine::Exception "YandexCloud: ..."
// for a reply that is not JSON or holds another number of translations.
std::vector<std::u16string> ExtractYandexCloudTranslations(std::u16string_view reply, TReplyText form, size_t texts);

// A refused request: the reply's {"code": ..., "message": ...} in Yandex's words, or for an empty or unreadable
// body a message from the status; 401 and 403 are the key (or the folder, or its billing), 429 too many requests
// or characters for now, 400 and 413 this request alone. Nothing for another status without a message.
std::optional<TRefusal> YandexCloudRefusal(int status, std::u16string_view body, TReplyText form);

}  // namespace tessarine::translate
