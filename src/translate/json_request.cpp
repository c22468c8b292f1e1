#include "translate/json_request.h"

#include "common/text.h"

namespace tessarine::translate {

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

size_t JsonStringBytes(std::u16string_view text) {
  size_t bytes = 2;
  for (char16_t c : text) {
    if (c == u'"' || c == u'\\' || c == u'\n' || c == u'\r' || c == u'\t') {
      bytes += 2;
    } else if (c < 0x20) {
      bytes += 6;
    } else if (c < 0x80) {
      bytes += 1;
    } else if (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF)) {
      // A surrogate pair is four bytes, two for each half; a lone one (U+FFFD, three) never reaches a body.
      bytes += 2;
    } else {
      bytes += 3;
    }
  }
  return bytes;
}

std::vector<uint8_t> Utf8Body(std::u16string_view body) {
  const std::string utf8 = ToUtf8(body);
  return {utf8.begin(), utf8.end()};
}

}  // namespace tessarine::translate
