#include "net/server/http_request_info.h"

#include <array>

#include "common/text.h"
#include "net/text_encoding.h"
#include "net/uri.h"

namespace tessarine::server {

namespace {

// An optional sign and decimal digits that fit an int. Nothing is trimmed: a version word with a stray CR, tab
// or NUL after its digits is not a number, so no rule of a known version applies to it.
int toIntDef(std::u16string_view text, int fallback) {
  bool negative = false;
  if (!text.empty() && (text[0] == u'+' || text[0] == u'-')) {
    negative = text[0] == u'-';
    text.remove_prefix(1);
  }
  if (text.empty()) return fallback;
  long long value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return fallback;
    value = value * 10 + (c - u'0');
    if (value > 2147483648LL) return fallback;
  }
  if (negative) value = -value;
  if (value > 2147483647LL) return fallback;
  return static_cast<int>(value);
}

// Returns the text before the first delimiter and leaves the rest; without one, all of it and leaves nothing.
std::u16string_view fetch(std::u16string_view& text, char16_t delimiter) {
  const size_t at = text.find(delimiter);
  std::u16string_view head = text.substr(0, at);
  text = at == std::u16string_view::npos ? std::u16string_view() : text.substr(at + 1);
  return head;
}

}  // namespace

THTTPCommandType DecodeHTTPCommand(std::u16string_view command) {
  static constexpr std::array<std::u16string_view, 8> kNames = {u"UNKNOWN", u"HEAD", u"GET",   u"POST",
                                                                u"DELETE",  u"PUT",  u"TRACE", u"OPTIONS"};
  for (size_t i = 0; i < kNames.size(); ++i) {
    if (SameTextAscii(command, kNames[i])) return static_cast<THTTPCommandType>(i);
  }
  return THTTPCommandType::hcUnknown;
}

void TIdHTTPRequestInfo::FillParams(std::u16string_view text) {
  m_params.Clear();
  const net::TIdTextEncoding encoding = net::EncodingForCharset(CharSet);
  std::u16string piece;
  while (!text.empty()) {
    piece = fetch(text, u'&');
    for (char16_t& c : piece) {
      if (c == u'+') c = u' ';
    }
    m_params.Add(net::TIdURI::URLDecode(piece, encoding));
  }
}

bool TIdHTTPRequestInfo::IsVersionAtLeast(int major, int minor) const {
  return VersionMajor > major || (VersionMajor == major && VersionMinor >= minor);
}

void TIdHTTPRequestInfo::SetVersion(std::u16string version) {
  Version = std::move(version);
  std::u16string_view rest = Version;
  fetch(rest, u'/');
  VersionMajor = toIntDef(fetch(rest, u'.'), -1);
  VersionMinor = toIntDef(rest, -1);
}

}  // namespace tessarine::server
