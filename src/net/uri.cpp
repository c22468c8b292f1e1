#include "net/uri.h"

#include <vector>

#include "common/text.h"

namespace tessarine::net {

namespace {

constexpr size_t npos = std::u16string_view::npos;

// Backslashes become slashes in the part before the query and fragment, after the scheme and its "//". The
// scheme's ":" is looked for before the query only, so a colon in a query value cannot switch the rule off.
void normalizeSlashes(std::u16string& text) {
  const size_t end = std::min(text.find_first_of(u"?#"), text.size());
  size_t i = 0;
  const size_t colon = text.find(u':');
  if (colon < end) {
    i = colon + 1;
    auto isSlash = [&text](size_t k) { return k < text.size() && (text[k] == u'/' || text[k] == u'\\'); };
    if (isSlash(i) && isSlash(i + 1)) i += 2;
  }
  for (; i < end; ++i) {
    if (text[i] == u'\\') text[i] = u'/';
  }
}

// The value of exactly `digits` hex digits at text[pos]; -1 when any is missing or not a digit.
long hexAt(std::u16string_view text, size_t pos, size_t digits) {
  if (pos > text.size() || text.size() - pos < digits) return -1;
  long value = 0;
  for (size_t k = 0; k < digits; ++k) {
    const int d = HexDigitValue(text[pos + k]);
    if (d < 0) return -1;
    value = value * 16 + d;
  }
  return value;
}

bool isUnicodeEscape(std::u16string_view text, size_t pos) {
  return pos + 1 < text.size() && text[pos] == u'%' && (text[pos + 1] == u'u' || text[pos + 1] == u'U');
}

}  // namespace

void TIdURI::SetURI(std::u16string_view uri) {
  std::u16string text(uri);
  normalizeSlashes(text);

  *this = TIdURI();
  std::u16string_view rest = text;

  // RFC 3986 3.5: the fragment starts at the first "#", so a "?" after it belongs to the fragment.
  auto takeQueryAndFragment = [this, &rest]() {
    const size_t mark = rest.find_first_of(u"?#");
    if (mark == npos) return;
    if (rest[mark] == u'?') {
      std::u16string_view query = rest.substr(mark + 1);
      const size_t hash = query.find(u'#');
      if (hash != npos) {
        Bookmark = query.substr(hash + 1);
        query = query.substr(0, hash);
      }
      Params = query;
    } else {
      Bookmark = rest.substr(mark + 1);
    }
    rest = rest.substr(0, mark);
  };

  const size_t schemeEnd = rest.find(u"://");
  if (schemeEnd != npos) {
    Protocol = rest.substr(0, schemeEnd);
    rest = rest.substr(schemeEnd + 3);
    takeQueryAndFragment();

    const size_t slash = rest.find(u'/');
    std::u16string_view authority = rest.substr(0, slash);
    rest = slash == npos ? std::u16string_view() : rest.substr(slash + 1);

    const size_t at = authority.rfind(u'@');
    if (at != npos) {
      const std::u16string_view user = authority.substr(0, at);
      const size_t colon = user.find(u':');
      Username = user.substr(0, colon);
      if (colon != npos && !Username.empty()) Password = user.substr(colon + 1);
      authority = authority.substr(at + 1);
    }

    const size_t open = authority.find(u'[');
    const size_t close = open == npos ? npos : authority.find(u']', open + 1);
    if (close != npos) {
      Host = authority.substr(open + 1, close - open - 1);
      IPVersion = Id_IPv6;
      const size_t colon = authority.find(u':', close + 1);
      if (colon != npos) Port = authority.substr(colon + 1);
    } else {
      const size_t colon = authority.find(u':');
      Host = authority.substr(0, colon);
      if (colon != npos) Port = authority.substr(colon + 1);
    }

    const size_t last = rest.rfind(u'/');
    if (last == npos) {
      Path = u"/";
    } else {
      Path = u"/";
      Path += rest.substr(0, last + 1);
      rest = rest.substr(last + 1);
    }
  } else {
    takeQueryAndFragment();
    const size_t last = rest.rfind(u'/');
    if (last != npos) {
      Path = rest.substr(0, last + 1);
      rest = rest.substr(last + 1);
    }
  }
  Document = rest;
}

std::u16string TIdURI::GetPathAndParams() const {
  std::u16string result = Path + Document;
  if (!Params.empty()) {
    result += u'?';
    result += Params;
  }
  return result;
}

std::u16string TIdURI::GetFullURI() const {
  if (Protocol.empty()) throw EIdURIException("Protocol field is empty");
  if (Host.empty()) throw EIdURIException("Host field is empty");
  std::u16string result = Protocol + u"://";
  if (!Username.empty()) {
    result += Username;
    if (!Password.empty()) result += u':' + Password;
    result += u'@';
  }
  if (IPVersion == Id_IPv6) {
    result += u'[' + Host + u']';
  } else {
    result += Host;
  }
  if (!Port.empty()) {
    const std::u16string scheme = UpperCaseAscii(Protocol);
    const bool isDefault = (scheme == u"HTTP" && Port == u"80") || (scheme == u"HTTPS" && Port == u"443") ||
                           (scheme == u"FTP" && Port == u"21");
    if (!isDefault) result += u':' + Port;
  }
  return result + GetPathAndParams();
}

std::u16string TIdURI::URLDecode(std::u16string_view text, const TIdTextEncoding& encoding) {
  const TIdTextEncoding& enc = encoding ? encoding : IndyTextEncoding_UTF8();
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const char16_t c = text[i];
    if (c != u'%') {
      bytes.push_back(static_cast<uint8_t>(c & 0xFF));
      ++i;
      continue;
    }
    if (isUnicodeEscape(text, i)) {
      const long unit = hexAt(text, i + 2, 4);
      i = std::min(i + 6, n);
      if (unit < 0) continue;
      std::u16string chars(1, static_cast<char16_t>(unit));
      // Keep a surrogate pair written as two escapes together, or each half would encode as U+FFFD.
      if (unit >= 0xD800 && unit <= 0xDBFF && isUnicodeEscape(text, i)) {
        const long low = hexAt(text, i + 2, 4);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          chars += static_cast<char16_t>(low);
          i += 6;
        }
      }
      const std::vector<uint8_t> encoded = enc->GetBytes(chars);
      bytes.insert(bytes.end(), encoded.begin(), encoded.end());
      continue;
    }
    // An escape that is not two hex digits contributes nothing; the "%" and up to two characters go.
    const long value = hexAt(text, i + 1, 2);
    i = std::min(i + 3, n);
    if (value >= 0) bytes.push_back(static_cast<uint8_t>(value));
  }
  return enc->GetString(bytes.data(), bytes.size());
}

}  // namespace tessarine::net
