#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/string_list.h"

// The small text routines of the translation service. Stateless; any thread may call them.
namespace tessarine::translate {

// True for the ASCII digits and the letters A to F in either case.
bool IsHexChar(uint8_t c);

// Percent-encodes the UTF-8 bytes of the text. Escapes already present ("%" and two hex digits) pass
// through unchanged; a space becomes %20.
std::u16string EncodeUrlText(std::u16string_view text);

// Decodes UTF-8 held one byte per character. Decoding stops at the first malformed or truncated
// sequence and the rest is dropped. Overlong forms are accepted.
std::u16string DecodeUtf8Chars(std::u16string_view chars);

// The text between the first occurrence of start and the next occurrence of end after it; empty when
// either marker is missing or any argument is empty.
std::u16string TextBetween(std::u16string_view start, std::u16string_view source, std::u16string_view end);

// Every text enclosed by start and end, in order. No list at all (nullopt) when the first pair is
// missing, which differs from an empty list. Each item holds at least one character.
std::optional<TStringList> CollectBetween(std::u16string_view start, std::u16string_view end,
                                          std::u16string_view source);

// Splits source at each separator into destination[0], destination[1], ...; pieces beyond the size of
// destination are dropped, and elements that receive no piece keep their values.
void SplitText(std::u16string_view source, std::u16string_view separator, std::span<std::u16string> destination);

// Undoes the engines' "\/" and "\uXXXX" escapes; every other backslash stays. Answers "error" when an
// escape reaches past the end of the text.
std::u16string UnescapeText(std::u16string_view text);

// Undoes every escape of a JSON string: \" \\ \/ \b \f \n \r \t and \uXXXX (a surrogate pair from two of them). A
// backslash before anything else stays, as in UnescapeText, and "\u" with fewer than four characters after it
// answers "error"; a "\u" whose four characters are not all hex digits takes the value of their leading digits.
std::u16string UnescapeJsonText(std::u16string_view text);

// Text whose characters up to U+00FF carry UTF-8 bytes (a reply read one character per byte) as the characters
// those bytes encode. A byte that begins no well-formed sequence stands for the Latin-1 character of its value
// (an engine answering in Latin-1 without saying so), and characters above U+00FF stay as they are. Encoded to
// UTF-8 again, well-formed UTF-8 comes back byte for byte.
std::u16string CharactersFromUtf8Bytes(std::u16string_view bytes);
void AppendCharactersFromUtf8Bytes(std::u16string& out, std::u16string_view bytes);

}  // namespace tessarine::translate
