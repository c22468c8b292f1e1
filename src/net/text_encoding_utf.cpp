// The Unicode transformation formats: UTF-8, UTF-16 in both byte orders, UTF-7.

#include "net/text_encoding.h"

#include "common/text.h"
#include "common/utf8.h"

namespace tessarine::net {

namespace {

using utf::IsHighSurrogate;
using utf::IsLowSurrogate;
using utf::kReplacement;

// The unit at i, or U+FFFD when it is a surrogate without its partner.
char16_t pairedUnit(std::u16string_view text, size_t i) {
  const char16_t u = text[i];
  if (IsHighSurrogate(u)) return i + 1 < text.size() && IsLowSurrogate(text[i + 1]) ? u : kReplacement;
  if (IsLowSurrogate(u)) return i > 0 && IsHighSurrogate(text[i - 1]) ? u : kReplacement;
  return u;
}

// Forwards UTF-16 code units decoded from a wire format, replacing every unpaired surrogate with U+FFFD.
template <typename Sink>
class SurrogatePairer {
 public:
  explicit SurrogatePairer(Sink& sink) : m_sink(sink) {}
  void put(char16_t c) {
    if (m_high != 0) {
      if (IsLowSurrogate(c)) {
        m_sink.put(m_high);
        m_sink.put(c);
        m_high = 0;
        return;
      }
      m_sink.put(kReplacement);
      m_high = 0;
    }
    if (IsHighSurrogate(c)) {
      m_high = c;
    } else {
      m_sink.put(IsLowSurrogate(c) ? kReplacement : c);
    }
  }
  void finish() {
    if (m_high != 0) m_sink.put(kReplacement);
    m_high = 0;
  }

 private:
  Sink& m_sink;
  char16_t m_high = 0;
};

struct StringSink {
  std::u16string& out;
  void put(char16_t c) { out.push_back(c); }
};

// Writes into storage sized for the worst case beforehand.
struct BufferSink {
  char16_t* at;
  void put(char16_t c) { *at++ = c; }
};

struct CountSink {
  size_t count = 0;
  void put(char16_t) { ++count; }
};

// ---- UTF-7 (RFC 2152) ----

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Set D of RFC 2152 plus the blanks it allows directly. Set O is encoded too, as mail gateways may mangle it.
bool isDirect(char16_t c) {
  if ((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9')) return true;
  switch (c) {
    case u'\'':
    case u'(':
    case u')':
    case u',':
    case u'-':
    case u'.':
    case u'/':
    case u':':
    case u'?':
    case u' ':
    case u'\t':
    case u'\r':
    case u'\n':
      return true;
    default:
      return false;
  }
}

template <typename Out>
void encodeUtf7(std::u16string_view text, Out&& out) {
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const char16_t c = text[i];
    if (isDirect(c)) {
      out(static_cast<uint8_t>(c));
      ++i;
      continue;
    }
    if (c == u'+') {
      out('+');
      out('-');
      ++i;
      continue;
    }
    out('+');
    uint32_t bits = 0;
    int nbits = 0;
    while (i < n && !isDirect(text[i]) && text[i] != u'+') {
      bits = (bits << 16) | pairedUnit(text, i);
      nbits += 16;
      while (nbits >= 6) {
        nbits -= 6;
        out(static_cast<uint8_t>(kBase64[(bits >> nbits) & 0x3F]));
      }
      bits &= (1u << nbits) - 1;
      ++i;
    }
    if (nbits > 0) out(static_cast<uint8_t>(kBase64[(bits << (6 - nbits)) & 0x3F]));
    // Always closed explicitly: the "-" is absorbed by the decoder and spares a look at the next character.
    out('-');
  }
}

template <typename Sink>
void decodeUtf7(const uint8_t* p, size_t n, Sink& sink) {
  SurrogatePairer<Sink> units(sink);
  size_t i = 0;
  while (i < n) {
    const uint8_t b = p[i];
    if (b != '+') {
      units.put(b < 0x80 ? static_cast<char16_t>(b) : kReplacement);
      ++i;
      continue;
    }
    ++i;
    if (i < n && p[i] == '-') {
      units.put(u'+');
      ++i;
      continue;
    }
    uint32_t bits = 0;
    int nbits = 0;
    size_t digits = 0;
    int value = 0;
    while (i < n && (value = Base64DigitValue(p[i])) >= 0) {
      bits = (bits << 6) | static_cast<uint32_t>(value);
      nbits += 6;
      if (nbits >= 16) {
        nbits -= 16;
        units.put(static_cast<char16_t>(bits >> nbits));
        bits &= (1u << nbits) - 1;
      }
      ++digits;
      ++i;
    }
    // A run must hold at least one digit and end on a unit boundary with zero padding bits.
    if (digits == 0 || nbits >= 6 || bits != 0) units.put(kReplacement);
    if (i < n && p[i] == '-') ++i;
  }
  units.finish();
}

}  // namespace

// ---- TIdUTF8Encoding ----

std::vector<uint8_t> TIdUTF8Encoding::GetBytes(std::u16string_view text) const {
  // A code unit never takes more than three bytes (a pair takes four for two units).
  std::vector<uint8_t> out(text.size() * 3);
  uint8_t* at = out.data();
  utf::ForEachCodePoint(text, [&at](char32_t cp) { utf::EncodeUtf8(cp, [&at](uint8_t b) { *at++ = b; }); });
  out.resize(static_cast<size_t>(at - out.data()));
  return out;
}

size_t TIdUTF8Encoding::GetByteCount(std::u16string_view text) const {
  size_t count = 0;
  utf::ForEachCodePoint(text, [&count](char32_t cp) { count += utf::Utf8Length(cp); });
  return count;
}

std::u16string TIdUTF8Encoding::GetString(const uint8_t* bytes, size_t count) const {
  // Never more units than bytes: one per byte at most, two for a four-byte sequence.
  std::u16string out(count, u'\0');
  BufferSink sink{out.data()};
  utf::DecodeUtf8(bytes, count, sink);
  out.resize(static_cast<size_t>(sink.at - out.data()));
  return out;
}

size_t TIdUTF8Encoding::GetCharCount(const uint8_t* bytes, size_t count) const {
  CountSink sink;
  utf::DecodeUtf8(bytes, count, sink);
  return sink.count;
}

// ---- TIdUTF16Encoding ----

std::vector<uint8_t> TIdUTF16Encoding::GetBytes(std::u16string_view text) const {
  std::vector<uint8_t> out(text.size() * 2);
  const int high = m_bigEndian ? 0 : 1;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t u = pairedUnit(text, i);
    out[2 * i + high] = static_cast<uint8_t>(u >> 8);
    out[2 * i + 1 - high] = static_cast<uint8_t>(u & 0xFF);
  }
  return out;
}

size_t TIdUTF16Encoding::GetByteCount(std::u16string_view text) const { return text.size() * 2; }

namespace {

template <typename Sink>
void decodeUtf16(const uint8_t* p, size_t n, bool bigEndian, Sink& sink) {
  SurrogatePairer<Sink> units(sink);
  for (size_t i = 0; i + 1 < n; i += 2) {
    const auto u =
        bigEndian ? static_cast<char16_t>((p[i] << 8) | p[i + 1]) : static_cast<char16_t>((p[i + 1] << 8) | p[i]);
    units.put(u);
  }
  units.finish();
  if (n % 2 != 0) sink.put(kReplacement);
}

}  // namespace

std::u16string TIdUTF16Encoding::GetString(const uint8_t* bytes, size_t count) const {
  std::u16string out;
  out.reserve(count / 2 + 1);
  StringSink sink{out};
  decodeUtf16(bytes, count, m_bigEndian, sink);
  return out;
}

size_t TIdUTF16Encoding::GetCharCount(const uint8_t*, size_t count) const { return (count + 1) / 2; }

std::vector<uint8_t> TIdUTF16Encoding::GetPreamble() const {
  if (m_bigEndian) return {0xFE, 0xFF};
  return {0xFF, 0xFE};
}

// ---- TIdUTF7Encoding ----

std::vector<uint8_t> TIdUTF7Encoding::GetBytes(std::u16string_view text) const {
  std::vector<uint8_t> out;
  out.reserve(text.size());
  encodeUtf7(text, [&out](uint8_t b) { out.push_back(b); });
  return out;
}

size_t TIdUTF7Encoding::GetByteCount(std::u16string_view text) const {
  size_t count = 0;
  encodeUtf7(text, [&count](uint8_t) { ++count; });
  return count;
}

std::u16string TIdUTF7Encoding::GetString(const uint8_t* bytes, size_t count) const {
  std::u16string out;
  out.reserve(count);
  StringSink sink{out};
  decodeUtf7(bytes, count, sink);
  return out;
}

size_t TIdUTF7Encoding::GetCharCount(const uint8_t* bytes, size_t count) const {
  CountSink sink;
  decodeUtf7(bytes, count, sink);
  return sink.count;
}

}  // namespace tessarine::net
