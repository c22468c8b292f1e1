#pragma once

// UTF-8 and UTF-16 code point walking, shared by the plain text helpers and the wire encodings, so there
// is one decoder and one encoder of UTF-8 in the program.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tessarine::utf {

inline constexpr char16_t kReplacement = u'\uFFFD';

inline bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
inline bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
inline bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Walks UTF-16 text as code points; an unpaired surrogate is passed on as U+FFFD.
template <typename Visit>
void ForEachCodePoint(std::u16string_view text, Visit&& visit) {
  const size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    char32_t c = text[i];
    if (IsHighSurrogate(c) && i + 1 < n && IsLowSurrogate(text[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (IsSurrogate(c)) {
      c = kReplacement;
    }
    visit(c);
  }
}

// Puts one code point as UTF-16 units into a sink with put(char16_t).
template <typename Sink>
void PutCodePoint(Sink& sink, char32_t cp) {
  if (cp < 0x10000) {
    sink.put(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    sink.put(static_cast<char16_t>(0xD800 + (cp >> 10)));
    sink.put(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

inline size_t Utf8Length(char32_t cp) { return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4; }

// Writes the UTF-8 bytes of a code point through out(uint8_t).
template <typename Out>
void EncodeUtf8(char32_t cp, Out&& out) {
  if (cp < 0x80) {
    out(static_cast<uint8_t>(cp));
  } else if (cp < 0x800) {
    out(static_cast<uint8_t>(0xC0 | (cp >> 6)));
    out(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out(static_cast<uint8_t>(0xE0 | (cp >> 12)));
    out(static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
    out(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
  } else {
    out(static_cast<uint8_t>(0xF0 | (cp >> 18)));
    out(static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F)));
    out(static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
    out(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
  }
}

// One step of UTF-8 decoding at p (n >= 1 bytes; wider elements must hold byte values). Well-formed sequences are
// those of Unicode Table 3-7; for a malformed one, Length is its maximal subpart (the lead byte and the
// continuation bytes that could still have completed it).
struct TUtf8Step {
  char32_t CodePoint = 0;
  size_t Length = 1;
  bool WellFormed = false;
};

template <typename Byte>
TUtf8Step Utf8StepAt(const Byte* p, size_t n) {
  const uint32_t b0 = p[0];
  if (b0 < 0x80) return {b0, 1, true};
  int need = 0;
  char32_t cp = 0;
  uint32_t lo = 0x80;
  uint32_t hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1, cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2, cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3, cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return {};
  }
  size_t j = 1;
  for (int k = 0; k < need; ++k, ++j) {
    if (j >= n || static_cast<uint32_t>(p[j]) < lo || static_cast<uint32_t>(p[j]) > hi) return {0, j, false};
    cp = (cp << 6) | (p[j] & 0x3F);
    lo = 0x80, hi = 0xBF;
  }
  return {cp, j, true};
}

// A malformed sequence gives a single U+FFFD for its maximal subpart, and decoding resumes at the first byte that
// did not fit, so a split multi-byte character never swallows the bytes after it.
template <typename Sink>
void DecodeUtf8(const uint8_t* p, size_t n, Sink& sink) {
  size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      sink.put(p[i++]);
      continue;
    }
    const TUtf8Step step = Utf8StepAt(p + i, n - i);
    if (step.WellFormed) {
      PutCodePoint(sink, step.CodePoint);
    } else {
      sink.put(kReplacement);
    }
    i += step.Length;
  }
}

}  // namespace tessarine::utf
