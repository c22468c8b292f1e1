#pragma once

#include <string>
#include <string_view>

namespace tessarine {

// Plain, lossless UTF-8 <-> UTF-16 conversions for messages, logs and tests. They are not the
// wire codecs: those have their own exact rules in the translation service and the encodings.
// Malformed input becomes U+FFFD (one per maximal subpart); an unpaired surrogate becomes the bytes of U+FFFD.
std::u16string FromUtf8(std::string_view utf8);
std::string ToUtf8(std::u16string_view text);

// Widens ASCII (or any 8-bit text) one character per byte.
std::u16string Widen(std::string_view bytes);

// Case-insensitive comparison of ASCII letters; other characters compare exactly.
bool SameTextAscii(std::u16string_view a, std::u16string_view b);
char16_t ToUpperAscii(char16_t c);
char16_t ToLowerAscii(char16_t c);
std::u16string UpperCaseAscii(std::u16string_view text);
std::u16string LowerCaseAscii(std::u16string_view text);

// Trims characters at or below the space, as the classic Trim does.
std::u16string_view Trim(std::u16string_view text);
std::u16string_view TrimLeft(std::u16string_view text);

// The value of one hexadecimal digit (either case), or -1.
int HexDigitValue(char16_t c);
// The value of one digit of the base64 alphabet (RFC 4648 section 4), or -1.
int Base64DigitValue(char16_t c);

// Decimal text of an integer.
std::u16string IntToStr(long long value);

}  // namespace tessarine
