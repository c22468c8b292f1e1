#include "net/client/meta_charset.h"

#include <initializer_list>
#include <string_view>

#include "common/text.h"

namespace tessarine::client {

namespace {

bool isLetterOrDigit(uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }
bool isNameChar(uint8_t c) { return isLetterOrDigit(c) || c == '-' || c == '_' || c == ':' || c == '.'; }
bool isWhite(uint8_t c) { return c == 0 || c == '\t' || c == '\n' || c == '\r' || c == ' '; }
uint8_t lowerAscii(uint8_t c) { return c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c + ('a' - 'A')) : c; }

// Bytes as text, one character per byte.
std::u16string widen(const uint8_t* data, size_t begin, size_t end) {
  std::u16string text;
  text.reserve(end - begin);
  for (size_t i = begin; i < end; ++i) text += static_cast<char16_t>(data[i]);
  return text;
}

// Scans an HTML body for the META tags of its head. All reads go through at()/atEnd(), so a tag, quote or
// comment cut off by the end of the body simply ends the scan.
class MetaScanner {
 public:
  MetaScanner(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

  std::u16string Run(net::TIdHeaderList& lines) {
    enum class Where {
      BeforeHtml,  // every tag ignored until HTML
      Html,        // inside HTML, before HEAD
      Head,        // META tags count, to the end of the body
    };
    Where where = Where::BeforeHtml;
    while (seek("<", false)) {
      if (startsWith("<!--", false)) {
        m_i += 4;
        if (!seek("-->", false)) break;
        m_i += 3;
        continue;
      }
      ++m_i;
      const size_t nameStart = m_i;
      skipName();
      const size_t nameEnd = m_i;
      auto is = [&](std::string_view tag) { return sameText(nameStart, nameEnd, tag); };
      switch (where) {
        case Where::BeforeHtml:
          if (is("html")) where = Where::Html;
          skipTag();
          break;
        case Where::Html:
          // After a TITLE every later tag is ignored, so nothing more can be found; BODY ends the scan.
          if (is("title") || is("body")) return m_charset;
          if (is("head")) where = Where::Head;
          skipTag();
          break;
        case Where::Head:
          if (is("meta")) {
            meta(lines);
          } else if (is("title") || is("script")) {
            // Their text may hold anything, tags included.
            skipTag();
            std::string closing = "</";
            closing.append(reinterpret_cast<const char*>(m_data) + nameStart, nameEnd - nameStart);
            if (!seek(closing, true)) return m_charset;
            skipTag();
          } else {
            skipTag();
          }
          break;
      }
    }
    return m_charset;
  }

 private:
  bool atEnd() const { return m_i >= m_size; }
  uint8_t current() const { return m_data[m_i]; }

  bool sameText(size_t begin, size_t end, std::string_view text) const {
    if (end - begin != text.size()) return false;
    for (size_t k = 0; k < text.size(); ++k) {
      if (lowerAscii(m_data[begin + k]) != lowerAscii(static_cast<uint8_t>(text[k]))) return false;
    }
    return true;
  }

  bool startsWith(std::string_view text, bool ignoreCase) const {
    if (m_size - m_i < text.size()) return false;
    for (size_t k = 0; k < text.size(); ++k) {
      uint8_t a = m_data[m_i + k];
      uint8_t b = static_cast<uint8_t>(text[k]);
      if (ignoreCase) {
        a = lowerAscii(a);
        b = lowerAscii(b);
      }
      if (a != b) return false;
    }
    return true;
  }

  // Moves to the next occurrence of text, or to the end when there is none.
  bool seek(std::string_view text, bool ignoreCase) {
    for (; !atEnd(); ++m_i) {
      if (startsWith(text, ignoreCase)) return true;
    }
    return false;
  }

  void skipWhite() {
    while (!atEnd() && isWhite(current())) ++m_i;
  }
  void skipName() {
    while (!atEnd() && isNameChar(current())) ++m_i;
  }
  // Past the next ">".
  void skipTag() {
    if (seek(">", false)) ++m_i;
  }

  // "=" with optional white space around it.
  bool equalsSign() {
    skipWhite();
    if (atEnd() || current() != '=') return false;
    ++m_i;
    skipWhite();
    return true;
  }

  bool atQuote() const { return !atEnd() && (current() == '"' || current() == '\''); }

  // From an opening quote to the closing one (or the end); the position passes the closing quote.
  std::u16string quoted() {
    const uint8_t quote = current();
    const size_t start = ++m_i;
    seek(std::string_view(reinterpret_cast<const char*>(&quote), 1), false);
    std::u16string text = widen(m_data, start, m_i);
    if (!atEnd()) ++m_i;
    return text;
  }

  // A charset or HTTP-EQUIV value: quoted, or a bare run of name characters.
  std::u16string value() {
    if (atQuote()) return quoted();
    const size_t start = m_i;
    skipName();
    return widen(m_data, start, m_i);
  }

  // Unquoted values of other attributes run to white space or ">".
  std::u16string bareValue() {
    const size_t start = m_i;
    while (!atEnd() && !isWhite(current()) && current() != '>') ++m_i;
    return widen(m_data, start, m_i);
  }

  std::u16string contentValue() {
    if (!atQuote()) return bareValue();
    const uint8_t quote = current();
    std::u16string text = quoted();
    // A value with quotes inside it, content="text/html; charset="utf-8"": what follows the inner quote up to
    // the next one belongs to it. The end of the tag or of an empty element is not such a continuation.
    if (!atEnd() && m_data[m_i - 1] == quote && !isWhite(current()) && current() != '>' && current() != '/') {
      m_i -= 1;
      text += quoted();
    }
    return text;
  }

  // After the name of a META tag: only a first attribute HTTP-EQUIV or charset makes it count.
  void meta(net::TIdHeaderList& lines) {
    skipWhite();
    const size_t nameStart = m_i;
    skipName();
    const size_t nameEnd = m_i;
    if (sameText(nameStart, nameEnd, "charset")) {
      if (equalsSign()) m_charset = value();
      skipTag();
      return;
    }
    if (!sameText(nameStart, nameEnd, "http-equiv") || !equalsSign()) {
      skipTag();
      return;
    }
    std::u16string line = value();
    line += u':';
    for (;;) {
      while (!atEnd() && (isWhite(current()) || current() == '/')) ++m_i;
      if (atEnd()) break;
      if (current() == '>') {
        ++m_i;
        break;
      }
      const size_t attrStart = m_i;
      skipName();
      const size_t attrEnd = m_i;
      if (attrStart == attrEnd) {
        ++m_i;  // a stray character between attributes
        continue;
      }
      if (!equalsSign()) continue;
      if (sameText(attrStart, attrEnd, "content")) {
        line += u' ';
        line += contentValue();
      } else if (atQuote()) {
        quoted();
      } else {
        bareValue();
      }
    }
    lines.Add(std::move(line));
  }

  const uint8_t* m_data;
  size_t m_size;
  size_t m_i = 0;
  std::u16string m_charset;
};

// EBCDIC code page 037 to Latin-1 and the C1 controls, for reading a declaration written in EBCDIC.
constexpr char16_t kEbcdic037[256] = {
    0x00, 0x01, 0x02, 0x03, 0x9C, 0x09, 0x86, 0x7F, 0x97, 0x8D, 0x8E, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12,
    0x13, 0x9D, 0x85, 0x08, 0x87, 0x18, 0x19, 0x92, 0x8F, 0x1C, 0x1D, 0x1E, 0x1F, 0x80, 0x81, 0x82, 0x83, 0x84, 0x0A,
    0x17, 0x1B, 0x88, 0x89, 0x8A, 0x8B, 0x8C, 0x05, 0x06, 0x07, 0x90, 0x91, 0x16, 0x93, 0x94, 0x95, 0x96, 0x04, 0x98,
    0x99, 0x9A, 0x9B, 0x14, 0x15, 0x9E, 0x1A, 0x20, 0xA0, 0xE2, 0xE4, 0xE0, 0xE1, 0xE3, 0xE5, 0xE7, 0xF1, 0xA2, 0x2E,
    0x3C, 0x28, 0x2B, 0x7C, 0x26, 0xE9, 0xEA, 0xEB, 0xE8, 0xED, 0xEE, 0xEF, 0xEC, 0xDF, 0x21, 0x24, 0x2A, 0x29, 0x3B,
    0xAC, 0x2D, 0x2F, 0xC2, 0xC4, 0xC0, 0xC1, 0xC3, 0xC5, 0xC7, 0xD1, 0xA6, 0x2C, 0x25, 0x5F, 0x3E, 0x3F, 0xF8, 0xC9,
    0xCA, 0xCB, 0xC8, 0xCD, 0xCE, 0xCF, 0xCC, 0x60, 0x3A, 0x23, 0x40, 0x27, 0x3D, 0x22, 0xD8, 0x61, 0x62, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0xAB, 0xBB, 0xF0, 0xFD, 0xFE, 0xB1, 0xB0, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F, 0x70,
    0x71, 0x72, 0xAA, 0xBA, 0xE6, 0xB8, 0xC6, 0xA4, 0xB5, 0x7E, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0xA1,
    0xBF, 0xD0, 0xDD, 0xDE, 0xAE, 0x5E, 0xA3, 0xA5, 0xB7, 0xA9, 0xA7, 0xB6, 0xBC, 0xBD, 0xBE, 0x5B, 0x5D, 0xAF, 0xA8,
    0xB4, 0xD7, 0x7B, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0xAD, 0xF4, 0xF6, 0xF2, 0xF3, 0xF5, 0x7D,
    0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F, 0x50, 0x51, 0x52, 0xB9, 0xFB, 0xFC, 0xF9, 0xFA, 0xFF, 0x5C, 0xF7, 0x53, 0x54,
    0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0xB2, 0xD4, 0xD6, 0xD2, 0xD3, 0xD5, 0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36,
    0x37, 0x38, 0x39, 0xB3, 0xDB, 0xDC, 0xD9, 0xDA, 0x9F,
};

// How "<?xm" looks in each form a declaration may take (XML 1.0 Appendix F): the first four bytes, the
// bytes per character, and the byte order as indexes from the most significant byte down.
struct DeclarationForm {
  uint8_t signature[4];
  uint8_t width;
  uint8_t order[4];
  bool ebcdic;
};

constexpr DeclarationForm kDeclarationForms[] = {
    {{0x00, 0x00, 0x00, 0x3C}, 4, {0, 1, 2, 3}, false},  // UCS-4, big-endian (1234)
    {{0x3C, 0x00, 0x00, 0x00}, 4, {3, 2, 1, 0}, false},  // UCS-4, little-endian (4321)
    {{0x00, 0x00, 0x3C, 0x00}, 4, {1, 0, 3, 2}, false},  // UCS-4, order 2143
    {{0x00, 0x3C, 0x00, 0x00}, 4, {2, 3, 0, 1}, false},  // UCS-4, order 3412
    {{0x00, 0x3C, 0x00, 0x3F}, 2, {0, 1}, false},        // UTF-16, big-endian
    {{0x3C, 0x00, 0x3F, 0x00}, 2, {1, 0}, false},        // UTF-16, little-endian
    {{0x3C, 0x3F, 0x78, 0x6D}, 1, {0}, false},           // one byte per character
    {{0x4C, 0x6F, 0xA7, 0x94}, 1, {0}, true},            // EBCDIC
};

// The declaration up to its ">" (or the end of the body) as text.
std::u16string readDeclaration(const uint8_t* data, size_t size, const DeclarationForm& form) {
  std::u16string text;
  for (size_t i = 0; size - i >= form.width; i += form.width) {
    uint32_t unit = 0;
    for (size_t k = 0; k < form.width; ++k) unit = (unit << 8) | data[i + form.order[k]];
    if (form.ebcdic) unit = kEbcdic037[unit];
    if (unit == '>') break;
    text += unit > 0xFFFF ? u'\uFFFD' : static_cast<char16_t>(unit);
  }
  return text;
}

bool isXmlSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// The trimmed value of encoding="..." or encoding='...'; empty when there is none.
std::u16string encodingOf(std::u16string_view declaration) {
  size_t i = declaration.find(u"encoding");
  if (i == std::u16string_view::npos) return {};
  i += 8;
  while (i < declaration.size() && isXmlSpace(declaration[i])) ++i;
  if (i >= declaration.size() || declaration[i] != u'=') return {};
  ++i;
  while (i < declaration.size() && isXmlSpace(declaration[i])) ++i;
  if (i >= declaration.size() || (declaration[i] != u'"' && declaration[i] != u'\'')) return {};
  const size_t close = declaration.find(declaration[i], i + 1);
  if (close == std::u16string_view::npos) return {};
  return std::u16string(Trim(declaration.substr(i + 1, close - i - 1)));
}

}  // namespace

std::u16string ParseMetaHTTPEquiv(const uint8_t* data, size_t size, net::TIdHeaderList& lines) {
  return MetaScanner(data, size).Run(lines);
}

std::u16string XmlCharSet(const uint8_t* data, size_t size) {
  auto startsWith = [&](std::initializer_list<uint8_t> bytes) {
    if (size < bytes.size()) return false;
    size_t i = 0;
    for (uint8_t b : bytes) {
      if (data[i++] != b) return false;
    }
    return true;
  };
  // Byte-order marks, longest first where one begins another.
  if (startsWith({0x00, 0x00, 0xFE, 0xFF})) return u"UCS-4BE";
  if (startsWith({0x00, 0x00, 0xFF, 0xFE})) return {};
  if (startsWith({0xFF, 0xFE, 0x00, 0x00})) return u"UCS-4LE";
  if (startsWith({0xFE, 0xFF, 0x00, 0x00})) return {};
  if (startsWith({0xFE, 0xFF})) return u"UTF-16BE";
  if (startsWith({0xFF, 0xFE})) return u"UTF-16LE";
  if (startsWith({0xEF, 0xBB, 0xBF})) return u"UTF-8";
  for (const DeclarationForm& form : kDeclarationForms) {
    const auto& s = form.signature;
    if (!startsWith({s[0], s[1], s[2], s[3]})) continue;
    std::u16string encoding = encodingOf(readDeclaration(data, size, form));
    return encoding.empty() ? u"UTF-8" : encoding;
  }
  return u"UTF-8";
}

}  // namespace tessarine::client
