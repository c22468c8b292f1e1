#include "translate/keyed_reply.h"

#include <utility>

#include "common/exception.h"
#include "common/text.h"

namespace tessarine::translate {

std::optional<TRefusal> RefusalOf(std::u16string_view engine, TRefusalKind kind, int status,
                                  std::optional<std::u16string> message) {
  const std::u16string prefix = std::u16string(engine) + u": ";
  if (message) return TRefusal{.Message = prefix + *message, .Kind = kind};
  std::u16string_view fromStatus;
  switch (kind) {
    case TRefusalKind::Quota:
      fromStatus = u"quota exceeded";
      break;
    case TRefusalKind::Authentication:
      fromStatus = u"the key was refused";
      break;
    case TRefusalKind::TooManyRequests:
      fromStatus = u"too many requests";
      break;
    default:
      return std::nullopt;
  }
  return TRefusal{.Message = prefix + std::u16string(fromStatus) + u" (" + IntToStr(status) + u")", .Kind = kind};
}

void CheckTranslationCount(std::u16string_view engine, size_t translations, size_t texts) {
  if (translations == texts) return;
  throw Exception(std::u16string(engine) + u": the reply holds " + IntToStr(static_cast<long long>(translations)) +
                  u" translations for " + IntToStr(static_cast<long long>(texts)) + u" texts");
}

}  // namespace tessarine::translate
