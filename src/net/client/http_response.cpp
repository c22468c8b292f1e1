#include <optional>

#include "common/text.h"
#include "net/client/http_client.h"

namespace tessarine::client {

namespace {

// A decimal integer that fills the whole text; nullopt otherwise.
std::optional<int64_t> parseInt64(std::u16string_view text) {
  if (text.empty()) return std::nullopt;
  bool negative = false;
  if (text[0] == u'+' || text[0] == u'-') {
    negative = text[0] == u'-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > 18) return std::nullopt;
  int64_t value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return std::nullopt;
    value = value * 10 + (c - u'0');
  }
  return negative ? -value : value;
}

// "bytes 0-99/1234"; "*" for an unknown part.
void parseContentRange(std::u16string_view value, TIdHTTPResponse& response) {
  value = Trim(value);
  if (value.empty()) return;
  const size_t space = value.find(u' ');
  if (space == std::u16string_view::npos) return;
  response.ContentRangeUnits = std::u16string(value.substr(0, space));
  std::u16string_view rest = Trim(value.substr(space + 1));
  const size_t slash = rest.find(u'/');
  const std::u16string_view range = rest.substr(0, slash);
  if (slash != std::u16string_view::npos) {
    response.ContentRangeInstanceLength = parseInt64(Trim(rest.substr(slash + 1))).value_or(-1);
  }
  const size_t dash = range.find(u'-');
  if (dash != std::u16string_view::npos) {
    response.ContentRangeStart = parseInt64(Trim(range.substr(0, dash))).value_or(-1);
    response.ContentRangeEnd = parseInt64(Trim(range.substr(dash + 1))).value_or(-1);
  }
}

}  // namespace

void TIdHTTPResponse::SetResponseText(std::u16string text) {
  m_responseText = std::move(text);
  m_responseCode = -2;
  const std::u16string_view version =
      m_responseText.size() >= 8 ? std::u16string_view(m_responseText).substr(5, 3) : std::u16string_view();
  m_responseVersion = SameTextAscii(version, u"1.1") ? pv1_1 : pv1_0;
}

int TIdHTTPResponse::ResponseCode() const {
  if (m_responseCode != -2) return m_responseCode;
  // "HTTP/1.1 200 OK": the text after the first space, trimmed, up to the next space and the first ".".
  std::u16string_view text = m_responseText;
  const size_t space = text.find(u' ');
  text = space == std::u16string_view::npos ? std::u16string_view() : Trim(text.substr(space + 1));
  text = text.substr(0, text.find(u' '));
  text = text.substr(0, text.find(u'.'));
  const std::optional<int64_t> code = parseInt64(text);
  m_responseCode = code && *code >= INT32_MIN && *code <= INT32_MAX ? static_cast<int>(*code) : -1;
  return m_responseCode;
}

void TIdHTTPResponse::Clear() {
  TIdHTTPResponse empty;
  empty.m_responseText = std::move(m_responseText);
  empty.m_responseCode = m_responseCode;
  empty.m_responseVersion = m_responseVersion;
  empty.ContentStream = ContentStream;
  *this = std::move(empty);
}

void TIdHTTPResponse::ProcessHeaders() {
  ProcessEntityHeaders();
  Connection = RawHeaders.Values(u"Connection");
  ProxyConnection = RawHeaders.Values(u"Proxy-Connection");
  Location = RawHeaders.Values(u"Location");
  Server = RawHeaders.Values(u"Server");
  AcceptRanges = RawHeaders.Values(u"Accept-Ranges");
  AcceptPatch = RawHeaders.Values(u"Accept-Patch");
  ContentRangeStart = ContentRangeEnd = ContentRangeInstanceLength = -1;
  parseContentRange(RawHeaders.Values(u"Content-Range"), *this);
  WWWAuthenticate.Clear();
  RawHeaders.Extract(u"WWW-Authenticate", WWWAuthenticate);
  ProxyAuthenticate.Clear();
  RawHeaders.Extract(u"Proxy-Authenticate", ProxyAuthenticate);
}

}  // namespace tessarine::client
