#include "translate/text_codecs.h"

#include <new>

#include "common/text.h"
#include "common/utf8.h"

namespace tessarine::translate {

namespace {

constexpr size_t npos = std::u16string_view::npos;

// The classic one-based search: the first match of what in s starting at position from (counted from
// 1), or 0. Nothing is found when either text is empty or from is below 1. Keeping CollectBetween's
// arithmetic one-based here avoids off-by-one slips in its "+ 1" searches.
size_t PosFrom(std::u16string_view what, std::u16string_view s, size_t from) {
  if (what.empty() || s.empty() || from < 1 || from > s.size()) return 0;
  const size_t found = s.find(what, from - 1);
  return found == npos ? 0 : found + 1;
}

bool IsUnreserved(uint8_t b) {
  return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' || b == '.' ||
         b == '_' || b == '~';
}

bool IsContinuation(char16_t c) { return (c & 0xC0) == 0x80; }

// The value of the hexadecimal digits the four characters of a \u escape begin with: a digit that is not one
// ends the number, and the escape still takes all four.
char16_t LeadingHexValue(std::u16string_view four) {
  unsigned value = 0;
  for (char16_t c : four) {
    const int digit = HexDigitValue(c);
    if (digit < 0) break;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return static_cast<char16_t>(value);
}

}  // namespace

bool IsHexChar(uint8_t c) { return HexDigitValue(c) >= 0; }

std::u16string EncodeUrlText(std::u16string_view text) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  const std::string bytes = ToUtf8(text);
  std::u16string out;
  out.reserve(bytes.size() * 3);
  const size_t n = bytes.size();
  for (size_t i = 0; i < n; ++i) {
    const auto b = static_cast<uint8_t>(bytes[i]);
    if (b == '%' && i + 2 < n && IsHexChar(static_cast<uint8_t>(bytes[i + 1])) &&
        IsHexChar(static_cast<uint8_t>(bytes[i + 2]))) {
      out += u'%';
      out += static_cast<char16_t>(static_cast<uint8_t>(bytes[i + 1]));
      out += static_cast<char16_t>(static_cast<uint8_t>(bytes[i + 2]));
      i += 2;
    } else if (IsUnreserved(b)) {
      out += static_cast<char16_t>(b);
    } else {
      out += u'%';
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    }
  }
  return out;
}

std::u16string DecodeUtf8Chars(std::u16string_view chars) {
  std::u16string out;
  out.reserve(chars.size());
  const size_t n = chars.size();
  size_t i = 0;
  while (i < n) {
    const char16_t lead = chars[i];
    if (lead < 0x80) {
      out += lead;
      ++i;
      continue;
    }
    if (i + 1 >= n) break;
    const char16_t second = chars[i + 1];
    if (!IsContinuation(second)) break;
    if ((lead & 0x20) == 0) {
      out += static_cast<char16_t>(((lead & 0x3F) << 6) | (second & 0x3F));
      i += 2;
      continue;
    }
    if (i + 2 >= n || !IsContinuation(chars[i + 2])) break;
    const char16_t third = chars[i + 2];
    if (lead >= 0xF0 && lead <= 0xF4) {
      // Four-byte form: without it every character outside the BMP would be cut to 16 bits and its
      // fourth byte misread as a lead.
      if (i + 3 >= n || !IsContinuation(chars[i + 3])) break;
      const uint32_t cp =
          ((lead & 0x07u) << 18) | ((second & 0x3Fu) << 12) | ((third & 0x3Fu) << 6) | (chars[i + 3] & 0x3Fu);
      if (cp > 0x10FFFF) break;
      if (cp < 0x10000) {
        out += static_cast<char16_t>(cp);
      } else {
        out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
        out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
      }
      i += 4;
      continue;
    }
    // Leads F5 to F7 land here too; their bit 0x10 falls out of the 16-bit result.
    out += static_cast<char16_t>(((lead & 0x1F) << 12) | ((second & 0x3F) << 6) | (third & 0x3F));
    i += 3;
  }
  return out;
}

std::u16string TextBetween(std::u16string_view start, std::u16string_view source, std::u16string_view end) {
  if (start.empty() || source.empty() || end.empty()) return {};
  const size_t a = source.find(start);
  if (a == npos) return {};
  const std::u16string_view rest = source.substr(a + start.size());
  const size_t c = rest.find(end);
  if (c == npos) return {};
  return std::u16string(rest.substr(0, c));
}

std::optional<TStringList> CollectBetween(std::u16string_view start, std::u16string_view end,
                                          std::u16string_view source) {
  const size_t len = start.size();
  size_t a = PosFrom(start, source, 1);
  size_t c = PosFrom(end, source, a + len + 1);
  if (a == 0 || c == 0) return std::nullopt;
  TStringList list;
  while (a > 0 && c > 0) {
    list.Add(std::u16string(source.substr(a + len - 1, c - a - len)));
    // The next start marker may begin inside the end marker just used.
    a = PosFrom(start, source, c);
    c = PosFrom(end, source, a + len + 1);
  }
  return list;
}

void SplitText(std::u16string_view source, std::u16string_view separator, std::span<std::u16string> destination) {
  if (separator.empty()) {
    // Would never shrink the work text; the whole source is the one piece.
    if (!destination.empty()) destination[0] = std::u16string(source);
    return;
  }
  std::u16string work(source);
  work += separator;
  size_t i = 0;
  size_t from = 0;
  while (from < work.size()) {
    const size_t at = work.find(separator, from);
    const size_t stop = at == npos ? work.size() : at;
    if (i < destination.size()) destination[i] = work.substr(from, stop - from);
    ++i;
    from = at == npos ? work.size() : at + separator.size();
  }
}

std::u16string UnescapeText(std::u16string_view text) {
  try {
    std::u16string slashed;
    slashed.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == u'\\' && i + 1 < text.size() && text[i + 1] == u'/') {
        slashed += u'/';
        ++i;
      } else {
        slashed += text[i];
      }
    }

    std::u16string out;
    out.reserve(slashed.size());
    const size_t n = slashed.size();
    size_t i = 0;
    while (i < n) {
      if (slashed[i] != u'\\' || i + 1 >= n || slashed[i + 1] != u'u') {
        out += slashed[i];
        ++i;
        continue;
      }
      if (i + 6 > n) return u"error";
      out += LeadingHexValue(std::u16string_view(slashed).substr(i + 2, 4));
      i += 6;
    }
    return out;
  } catch (const std::bad_alloc&) {
    return u"error";
  }
}

std::u16string UnescapeJsonText(std::u16string_view text) {
  try {
    std::u16string out;
    out.reserve(text.size());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
      const char16_t c = text[i];
      if (c != u'\\' || i + 1 >= n) {
        out += c;
        ++i;
        continue;
      }
      const char16_t e = text[i + 1];
      char16_t plain = 0;
      switch (e) {
        case u'"':
        case u'\\':
        case u'/':
          plain = e;
          break;
        case u'b':
          plain = u'\b';
          break;
        case u'f':
          plain = u'\f';
          break;
        case u'n':
          plain = u'\n';
          break;
        case u'r':
          plain = u'\r';
          break;
        case u't':
          plain = u'\t';
          break;
        case u'u': {
          if (i + 6 > n) return u"error";
          out += LeadingHexValue(text.substr(i + 2, 4));
          i += 6;
          continue;
        }
        default:
          // Not an escape: the backslash is text, and the character after it is read on its own.
          out += c;
          ++i;
          continue;
      }
      out += plain;
      i += 2;
    }
    return out;
  } catch (const std::bad_alloc&) {
    return u"error";
  }
}

void AppendCharactersFromUtf8Bytes(std::u16string& out, std::u16string_view bytes) {
  struct Sink {
    std::u16string& text;
    void put(char16_t c) { text += c; }
  } sink{out};
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    if (bytes[i] < 0x80 || bytes[i] > 0xFF) {
      out += bytes[i++];
      continue;
    }
    // Every byte of a multi-byte sequence is above 0x7F, so a run of them holds whole sequences.
    size_t runEnd = i;
    while (runEnd < n && bytes[runEnd] >= 0x80 && bytes[runEnd] <= 0xFF) ++runEnd;
    while (i < runEnd) {
      const utf::TUtf8Step step = utf::Utf8StepAt(bytes.data() + i, runEnd - i);
      if (step.WellFormed) {
        utf::PutCodePoint(sink, step.CodePoint);
        i += step.Length;
      } else {
        out += bytes[i++];
      }
    }
  }
}

std::u16string CharactersFromUtf8Bytes(std::u16string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  AppendCharactersFromUtf8Bytes(out, bytes);
  return out;
}

}  // namespace tessarine::translate
