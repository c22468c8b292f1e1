#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The JSON reader of the engines that answer in JSON (LibreTranslate, Apertium).
namespace tessarine::translate {

// How an engine's reply reached the service as text. Read one character per byte (no charset, an unknown one, or
// Latin-1) the reply holds its bytes, which for JSON (RFC 8259 8.1) and the usual engine are UTF-8; decoded by
// the charset it declares it holds the characters themselves.
enum class TReplyText { Bytes, Characters };

// Bytes for an empty charset, which the upstream client reports for a reply read one character per byte, and
// for a Latin-1 name; Characters for any other.
TReplyText ReplyTextOf(std::u16string_view charSet);

struct TJsonMember;

struct TJsonValue {
  enum class TKind { Null, Boolean, Number, String, Array, Object };

  TKind Kind = TKind::Null;
  // A string's characters; numbers and booleans as written.
  std::u16string Text;
  std::vector<TJsonValue> Items;
  // A struct, not a pair: a pair of a type still being defined is not allowed in its members (clang rejects it).
  std::vector<TJsonMember> Members;

  // The first member of that name whose value is of that kind, or nullptr (also for a value that is no object).
  const TJsonValue* Find(std::u16string_view name, TKind kind) const;
  // The same, for taking a value over instead of copying it.
  TJsonValue* Find(std::u16string_view name, TKind kind);
};

struct TJsonMember {
  std::u16string Name;
  TJsonValue Value;
};

// The most items kept of one array on a wanted path; further items are read, not kept.
inline constexpr size_t kJsonKeptItems = 10000;

// Reads a reply that must be one JSON object (or an array, when a wanted path starts with "[]"), blanks and byte-order
// marks around its parts allowed, and keeps only the values on the wanted paths: member names joined by ".", "[]"
// standing for the items of an array
// ("responseData.translatedText", "responseData[].sourceLanguage"). The values on the way to a wanted one are kept
// with only the members and items that lead there, the first member of each name and kind, and at most
// kJsonKeptItems items of an array; everything else is checked and passed over, so what the reply costs in memory
// is the text of the wanted values. Raises tessarine::Exception "<engine>: the reply is not JSON" for anything
// else, nesting deeper than 64 included.
TJsonValue ParseJsonReply(std::u16string_view reply, TReplyText form, std::string_view engine,
                          std::span<const std::u16string_view> wanted);

}  // namespace tessarine::translate
