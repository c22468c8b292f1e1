#include "common/text.h"

#include <cstdint>

#include "common/utf8.h"

namespace tessarine {

namespace {

struct StringSink {
  std::u16string& out;
  void put(char16_t c) { out.push_back(c); }
};

}  // namespace

std::u16string FromUtf8(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  StringSink sink{out};
  utf::DecodeUtf8(reinterpret_cast<const uint8_t*>(utf8.data()), utf8.size(), sink);
  return out;
}

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  utf::ForEachCodePoint(
      text, [&out](char32_t cp) { utf::EncodeUtf8(cp, [&out](uint8_t b) { out.push_back(static_cast<char>(b)); }); });
  return out;
}

std::u16string Widen(std::string_view bytes) {
  std::u16string out(bytes.size(), u'\0');
  for (size_t i = 0; i < bytes.size(); ++i) out[i] = static_cast<uint8_t>(bytes[i]);
  return out;
}

char16_t ToUpperAscii(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }
char16_t ToLowerAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

bool SameTextAscii(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ToLowerAscii(a[i]) != ToLowerAscii(b[i])) return false;
  }
  return true;
}

std::u16string UpperCaseAscii(std::u16string_view text) {
  std::u16string out(text);
  for (auto& c : out) c = ToUpperAscii(c);
  return out;
}

std::u16string LowerCaseAscii(std::u16string_view text) {
  std::u16string out(text);
  for (auto& c : out) c = ToLowerAscii(c);
  return out;
}

std::u16string_view Trim(std::u16string_view text) {
  size_t b = 0;
  size_t e = text.size();
  while (b < e && text[b] <= u' ') ++b;
  while (e > b && text[e - 1] <= u' ') --e;
  return text.substr(b, e - b);
}

std::u16string_view TrimLeft(std::u16string_view text) {
  size_t b = 0;
  while (b < text.size() && text[b] <= u' ') ++b;
  return text.substr(b);
}

int HexDigitValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

int Base64DigitValue(char16_t c) {
  if (c >= u'A' && c <= u'Z') return c - u'A';
  if (c >= u'a' && c <= u'z') return c - u'a' + 26;
  if (c >= u'0' && c <= u'9') return c - u'0' + 52;
  if (c == u'+') return 62;
  if (c == u'/') return 63;
  return -1;
}

std::u16string IntToStr(long long value) { return Widen(std::to_string(value)); }

}  // namespace tessarine
