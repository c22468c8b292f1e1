#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The JSON reader of the engines that answer in JSON (LibreTranslate, Apertium).
namespace tessarine::translate {

// How the reply's text reached the reader. A JSON text is UTF-8 (RFC 8259 8.1): read without a charset (or with
// an 8-bit one) the reply holds its UTF-8 bytes one character per byte; decoded by a UTF charset it holds the
// characters themselves.
enum class TReplyText { Bytes, Characters };

// Characters when the charset names a Unicode encoding ("UTF-8", "utf-16le", ...), else Bytes.
TReplyText ReplyTextOf(std::u16string_view charSet);

struct TJsonValue {
  enum class TKind { Null, Boolean, Number, String, Array, Object };

  TKind Kind = TKind::Null;
  // A string as UTF-8 bytes, one character per byte: the form in which an engine's raw UTF-8 reply reaches the
  // local client. Numbers and booleans as written.
  std::u16string Text;
  std::vector<TJsonValue> Items;
  std::vector<std::pair<std::u16string, TJsonValue>> Members;

  // The first member of that name whose value is of that kind, or nullptr (also for a value that is no object).
  const TJsonValue* Find(std::u16string_view name, TKind kind) const;
  // A string's text as characters; malformed UTF-8 becomes U+FFFD.
  std::u16string Characters() const;
};

// Reads a reply that must be one JSON object, blanks and byte-order marks around its parts allowed. Raises
// tessarine::Exception "<engine>: the reply is not JSON" for anything else, nesting deeper than 64 included.
TJsonValue ParseJsonReply(std::u16string_view reply, TReplyText form, std::string_view engine);

}  // namespace tessarine::translate
