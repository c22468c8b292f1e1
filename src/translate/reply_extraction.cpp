#include "translate/reply_extraction.h"

#include "common/exception.h"
#include "translate/service_interfaces.h"
#include "translate/text_codecs.h"

namespace tessarine::translate {

namespace {

// A closing span tag with its angle brackets JSON-escaped, 17 characters.
constexpr char16_t kEscapedSpanEnd[] = u"\\u003c/span\\u003e";

// TextBetween for a piece inside a JSON string whose end marker begins with its closing quote: a quote after an
// odd number of backslashes is an escaped one, part of the text, and does not end the piece.
std::u16string JsonTextBetween(std::u16string_view start, std::u16string_view source, std::u16string_view end) {
  const size_t a = start.empty() || end.empty() ? std::u16string_view::npos : source.find(start);
  if (a == std::u16string_view::npos) return {};
  const std::u16string_view rest = source.substr(a + start.size());
  for (size_t c = rest.find(end); c != std::u16string_view::npos; c = rest.find(end, c + 1)) {
    size_t backslashes = 0;
    while (backslashes < c && rest[c - 1 - backslashes] == u'\\') ++backslashes;
    if (backslashes % 2 == 0) return std::u16string(rest.substr(0, c));
  }
  return {};
}

std::u16string CutPiece(int servises, const std::u16string& reply) {
  switch (servises) {
    case kGoogle:
      return JsonTextBetween(u"\"trans\":\"", reply, u"\"");
    case kBing:
      return JsonTextBetween(u"\"", reply, u"\"");
    case kYandex:
      return JsonTextBetween(u"\"text\":[\"", reply, u"\"]");
    case kBabylon:
      return JsonTextBetween(u"\"translatedText\":\"", reply, u"\"");
    case kPromt:
      // Once an escaped tag is present the "result" member is not consulted, even if the tag rule
      // finds nothing.
      if (reply.find(kEscapedSpanEnd) != std::u16string::npos) {
        return TextBetween(std::u16string(kEscapedSpanEnd) + u" ", reply, kEscapedSpanEnd);
      }
      return JsonTextBetween(u"\"result\":\"", reply, u"\"");
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

std::u16string ExtractTranslation(int servises, const std::u16string& reply, TReplyText form) {
  std::u16string piece = CutPiece(servises, reply);
  // Escapes are ASCII, so the bytes become characters first and the escapes' characters are never taken for bytes.
  if (form == TReplyText::Bytes) piece = CharactersFromUtf8Bytes(piece);
  // SYSTRAN's piece is HTML text, where a backslash is no escape; the others' are the insides of JSON strings.
  return servises == kSystran ? UnescapeText(piece) : UnescapeJsonText(piece);
}

}  // namespace tessarine::translate
