#include "translate/reply_extraction.h"

#include "common/exception.h"
#include "translate/service_interfaces.h"
#include "translate/text_codecs.h"

namespace tessarine::translate {

namespace {

// A closing span tag with its angle brackets JSON-escaped, 17 characters.
constexpr char16_t kEscapedSpanEnd[] = u"\\u003c/span\\u003e";

std::u16string CutPiece(int servises, const std::u16string& reply) {
  switch (servises) {
    case kGoogle:
      return TextBetween(u"\"trans\":\"", reply, u"\"");
    case kBing:
      return TextBetween(u"\"", reply, u"\"");
    case kYandex:
      return TextBetween(u"\"text\":[\"", reply, u"\"]");
    case kBabylon:
      return TextBetween(u"\"translatedText\":\"", reply, u"\"");
    case kPromt:
      // Once an escaped tag is present the "result" member is not consulted, even if the tag rule
      // finds nothing.
      if (reply.find(kEscapedSpanEnd) != std::u16string::npos) {
        return TextBetween(std::u16string(kEscapedSpanEnd) + u" ", reply, kEscapedSpanEnd);
      }
      return TextBetween(u"\"result\":\"", reply, u"\"");
    case kSystran: {
      const auto items = CollectBetween(u"value=\"1010/noun:common\" id=\"token_1\">", u"</span>", reply);
      if (!items) throw EStringListError::IndexOutOfBounds(1);
      return items->Get(1);
    }
    default:
      return {};
  }
}

}  // namespace

std::u16string ExtractTranslation(int servises, const std::u16string& reply) {
  return UnescapeText(CutPiece(servises, reply));
}

}  // namespace tessarine::translate
