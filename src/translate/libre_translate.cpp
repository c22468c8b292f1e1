#include "translate/libre_translate.h"

#include "common/exception.h"
#include "common/text.h"
#include "translate/engine_hosts.h"

namespace tessarine::translate {

namespace {

constexpr int kMaxDepth = 64;

void AppendJsonString(std::u16string& out, std::u16string_view text) {
  static constexpr char16_t kHex[] = u"0123456789abcdef";
  out += u'"';
  for (char16_t c : text) {
    switch (c) {
      case u'"':
        out += u"\\\"";
        break;
      case u'\\':
        out += u"\\\\";
        break;
      case u'\n':
        out += u"\\n";
        break;
      case u'\r':
        out += u"\\r";
        break;
      case u'\t':
        out += u"\\t";
        break;
      default:
        if (c < 0x20) {
          out += u"\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += u'"';
}

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

[[noreturn]] void NotJson() { throw Exception("LibreTranslate: the reply is not JSON"); }

// A small JSON reader that looks for one string member of the top-level object and skips everything else.
class TReplyReader {
 public:
  explicit TReplyReader(std::u16string_view text) : m_text(text) {}

  std::u16string TranslatedText() {
    skipSpace();
    if (!consume(u'{')) NotJson();
    std::optional<std::u16string> found;
    skipSpace();
    if (!consume(u'}')) {
      while (true) {
        skipSpace();
        const std::u16string name = readString();
        skipSpace();
        if (!consume(u':')) NotJson();
        skipSpace();
        if (name == u"translatedText" && !found && peek() == u'"') {
          found = readString();
        } else {
          skipValue(1);
        }
        skipSpace();
        if (consume(u'}')) break;
        if (!consume(u',')) NotJson();
      }
    }
    skipSpace();
    if (m_pos != m_text.size()) NotJson();
    if (!found) throw Exception("LibreTranslate: the reply holds no translatedText");
    return *found;
  }

 private:
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
    if (m_pos + 4 > m_text.size()) NotJson();
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
      const int digit = HexDigitValue(m_text[m_pos++]);
      if (digit < 0) NotJson();
      value = value * 16 + static_cast<unsigned>(digit);
    }
    return value;
  }

  // Escapes and characters above U+00FF become UTF-8 bytes, one character each; other characters stay, since
  // a reply read without a charset already holds its UTF-8 bytes that way.
  std::u16string readString() {
    if (!consume(u'"')) NotJson();
    std::u16string out;
    while (true) {
      if (m_pos >= m_text.size()) NotJson();
      const char16_t c = m_text[m_pos++];
      if (c == u'"') return out;
      if (c < 0x20) NotJson();
      if (c != u'\\') {
        if (c < 0x100) {
          out += c;
        } else if (c >= 0xD800 && c < 0xDC00 && m_pos < m_text.size() && m_text[m_pos] >= 0xDC00 &&
                   m_text[m_pos] < 0xE000) {
          AppendUtf8Chars(out, 0x10000 + ((c - 0xD800u) << 10) + (m_text[m_pos++] - 0xDC00u));
        } else {
          AppendUtf8Chars(out, c);
        }
        continue;
      }
      if (m_pos >= m_text.size()) NotJson();
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
          NotJson();
      }
    }
  }

  void skipValue(int depth) {
    if (depth > kMaxDepth) NotJson();
    const char16_t c = peek();
    if (c == u'"') {
      readString();
    } else if (c == u'{' || c == u'[') {
      const char16_t close = c == u'{' ? u'}' : u']';
      ++m_pos;
      skipSpace();
      if (consume(close)) return;
      while (true) {
        skipSpace();
        if (c == u'{') {
          readString();
          skipSpace();
          if (!consume(u':')) NotJson();
          skipSpace();
        }
        skipValue(depth + 1);
        skipSpace();
        if (consume(close)) return;
        if (!consume(u',')) NotJson();
      }
    } else if (m_text.substr(m_pos, 4) == u"true" || m_text.substr(m_pos, 4) == u"null") {
      m_pos += 4;
    } else if (m_text.substr(m_pos, 5) == u"false") {
      m_pos += 5;
    } else {
      const size_t start = m_pos;
      while (m_pos < m_text.size() &&
             (m_text[m_pos] == u'-' || m_text[m_pos] == u'+' || m_text[m_pos] == u'.' || m_text[m_pos] == u'e' ||
              m_text[m_pos] == u'E' || (m_text[m_pos] >= u'0' && m_text[m_pos] <= u'9'))) {
        ++m_pos;
      }
      if (m_pos == start) NotJson();
    }
  }

  std::u16string_view m_text;
  size_t m_pos = 0;
};

}  // namespace

TLibreTranslateConfig TLibreTranslateConfig::Parse(std::u16string_view entry, std::u16string_view apiKey) {
  TLibreTranslateConfig config;
  std::u16string_view rest = entry;
  const auto startsWith = [&](std::u16string_view prefix) {
    return rest.size() > prefix.size() && SameTextAscii(rest.substr(0, prefix.size()), prefix);
  };
  if (startsWith(u"https://")) {
    config.Https = true;
    rest.remove_prefix(8);
  } else if (startsWith(u"http://")) {
    rest.remove_prefix(7);
  }
  if (!rest.empty() && rest.back() == u'/') rest.remove_suffix(1);
  if (!TEngineHosts::IsValidEntry(rest)) throw Exception(u"Invalid engine host: " + std::u16string(entry));
  config.Host = std::u16string(rest);
  config.ApiKey = std::u16string(apiKey);
  return config;
}

TEngineRequest BuildLibreTranslateRequest(const TLibreTranslateConfig& config, const std::u16string& text,
                                          const std::u16string& langs_out, const std::u16string& langs_in) {
  TEngineRequest request;
  request.Url = (config.Https ? u"https://" : u"http://") + config.Host + u"/translate";
  request.CustomHeaders = {{u"Content-Type", u"application/json"}};
  std::u16string body = u"{\"q\":";
  AppendJsonString(body, text);
  body += u",\"source\":";
  AppendJsonString(body, langs_in);
  body += u",\"target\":";
  AppendJsonString(body, langs_out);
  body += u",\"format\":\"text\"";
  if (!config.ApiKey.empty()) {
    body += u",\"api_key\":";
    AppendJsonString(body, config.ApiKey);
  }
  body += u'}';
  const std::string utf8 = ToUtf8(body);
  request.Body = std::vector<uint8_t>(utf8.begin(), utf8.end());
  return request;
}

std::u16string ExtractLibreTranslation(std::u16string_view reply) { return TReplyReader(reply).TranslatedText(); }

}  // namespace tessarine::translate
