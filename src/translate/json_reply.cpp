#include "translate/json_reply.h"

#include "common/exception.h"
#include "common/text.h"

namespace tessarine::translate {

namespace {

constexpr int kMaxDepth = 64;

// One code point as its UTF-8 bytes, one character per byte.
void AppendUtf8Chars(std::u16string& out, char32_t cp) {
  std::u16string one;
  if (cp >= 0x10000) {
    one += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
    one += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
  } else {
    one += static_cast<char16_t>(cp);
  }
  out += Widen(ToUtf8(one));
}

class TReader {
 public:
  TReader(std::u16string_view text, TReplyText form, std::string_view engine)
      : m_text(text), m_form(form), m_engine(engine) {}

  TJsonValue Document() {
    skipSpace();
    if (peek() != u'{') notJson();
    TJsonValue document = value(0);
    skipSpace();
    if (m_pos != m_text.size()) notJson();
    return document;
  }

 private:
  [[noreturn]] void notJson() const { throw Exception(std::string(m_engine) + ": the reply is not JSON"); }

  char16_t peek() const { return m_pos < m_text.size() ? m_text[m_pos] : 0; }
  bool consume(char16_t c) {
    if (peek() != c || m_pos >= m_text.size()) return false;
    ++m_pos;
    return true;
  }
  void skipSpace() {
    while (m_pos < m_text.size() && (m_text[m_pos] == u' ' || m_text[m_pos] == u'\t' || m_text[m_pos] == u'\n' ||
                                     m_text[m_pos] == u'\r' || m_text[m_pos] == 0xFEFF)) {
      ++m_pos;
    }
  }

  unsigned readHex4() {
    if (m_pos + 4 > m_text.size()) notJson();
    unsigned result = 0;
    for (int i = 0; i < 4; ++i) {
      const int digit = HexDigitValue(m_text[m_pos++]);
      if (digit < 0) notJson();
      result = result * 16 + static_cast<unsigned>(digit);
    }
    return result;
  }

  // Escapes become UTF-8 bytes, one character each. Of the characters as received, those above U+00FF are
  // characters in either form; those from U+0080 to U+00FF are bytes already unless the reply was decoded.
  std::u16string readString() {
    if (!consume(u'"')) notJson();
    std::u16string out;
    while (true) {
      if (m_pos >= m_text.size()) notJson();
      const char16_t c = m_text[m_pos++];
      if (c == u'"') return out;
      if (c < 0x20) notJson();
      if (c != u'\\') {
        if (c < 0x80 || (c < 0x100 && m_form == TReplyText::Bytes)) {
          out += c;
        } else if (c >= 0xD800 && c < 0xDC00 && m_pos < m_text.size() && m_text[m_pos] >= 0xDC00 &&
                   m_text[m_pos] < 0xE000) {
          AppendUtf8Chars(out, 0x10000 + ((c - 0xD800u) << 10) + (m_text[m_pos++] - 0xDC00u));
        } else {
          AppendUtf8Chars(out, c);
        }
        continue;
      }
      if (m_pos >= m_text.size()) notJson();
      const char16_t e = m_text[m_pos++];
      switch (e) {
        case u'"':
        case u'\\':
        case u'/':
          out += e;
          break;
        case u'b':
          out += u'\b';
          break;
        case u'f':
          out += u'\f';
          break;
        case u'n':
          out += u'\n';
          break;
        case u'r':
          out += u'\r';
          break;
        case u't':
          out += u'\t';
          break;
        case u'u': {
          char32_t cp = readHex4();
          if (cp >= 0xD800 && cp < 0xDC00 && m_text.substr(m_pos, 2) == u"\\u") {
            const size_t saved = m_pos;
            m_pos += 2;
            const unsigned low = readHex4();
            if (low >= 0xDC00 && low < 0xE000) {
              cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            } else {
              m_pos = saved;
            }
          }
          if (cp < 0x80) {
            out += static_cast<char16_t>(cp);
          } else {
            AppendUtf8Chars(out, cp);
          }
          break;
        }
        default:
          notJson();
      }
    }
  }

  TJsonValue value(int depth) {
    if (depth > kMaxDepth) notJson();
    TJsonValue result;
    const char16_t c = peek();
    if (c == u'"') {
      result.Kind = TJsonValue::TKind::String;
      result.Text = readString();
    } else if (c == u'{' || c == u'[') {
      const bool object = c == u'{';
      const char16_t close = object ? u'}' : u']';
      result.Kind = object ? TJsonValue::TKind::Object : TJsonValue::TKind::Array;
      ++m_pos;
      skipSpace();
      if (consume(close)) return result;
      while (true) {
        skipSpace();
        if (object) {
          std::u16string name = readString();
          skipSpace();
          if (!consume(u':')) notJson();
          skipSpace();
          result.Members.emplace_back(std::move(name), value(depth + 1));
        } else {
          result.Items.push_back(value(depth + 1));
        }
        skipSpace();
        if (consume(close)) return result;
        if (!consume(u',')) notJson();
      }
    } else if (m_text.substr(m_pos, 4) == u"true" || m_text.substr(m_pos, 5) == u"false") {
      result.Kind = TJsonValue::TKind::Boolean;
      result.Text = c == u't' ? u"true" : u"false";
      m_pos += result.Text.size();
    } else if (m_text.substr(m_pos, 4) == u"null") {
      m_pos += 4;
    } else {
      const size_t start = m_pos;
      while (m_pos < m_text.size() &&
             (m_text[m_pos] == u'-' || m_text[m_pos] == u'+' || m_text[m_pos] == u'.' || m_text[m_pos] == u'e' ||
              m_text[m_pos] == u'E' || (m_text[m_pos] >= u'0' && m_text[m_pos] <= u'9'))) {
        ++m_pos;
      }
      if (m_pos == start) notJson();
      result.Kind = TJsonValue::TKind::Number;
      result.Text = std::u16string(m_text.substr(start, m_pos - start));
    }
    return result;
  }

  std::u16string_view m_text;
  const TReplyText m_form;
  const std::string_view m_engine;
  size_t m_pos = 0;
};

}  // namespace

TReplyText ReplyTextOf(std::u16string_view charSet) {
  const std::u16string_view name = Trim(charSet);
  return name.size() >= 4 && SameTextAscii(name.substr(0, 3), u"utf") ? TReplyText::Characters : TReplyText::Bytes;
}

const TJsonValue* TJsonValue::Find(std::u16string_view name, TKind kind) const {
  for (const auto& [memberName, member] : Members) {
    if (memberName == name && member.Kind == kind) return &member;
  }
  return nullptr;
}

std::u16string TJsonValue::Characters() const {
  std::string bytes;
  bytes.reserve(Text.size());
  for (char16_t c : Text) bytes += static_cast<char>(c);
  return FromUtf8(bytes);
}

TJsonValue ParseJsonReply(std::u16string_view reply, TReplyText form, std::string_view engine) {
  return TReader(reply, form, engine).Document();
}

}  // namespace tessarine::translate
