#include "net/header_info.h"

#include "common/text.h"
#include "net/content_type.h"

namespace tessarine::net {

namespace {

// A decimal 64-bit number, possibly signed and blank-padded; -1 when the text is anything else.
int64_t toInt64(std::u16string_view text) {
  text = Trim(text);
  bool negative = false;
  if (!text.empty() && (text[0] == u'+' || text[0] == u'-')) {
    negative = text[0] == u'-';
    text.remove_prefix(1);
  }
  if (text.empty()) return -1;
  int64_t value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return -1;
    const int digit = c - u'0';
    // Checked before the step: past 64 bits the product wraps, and 18446744073709551620 would read as 4.
    if (value > (INT64_MAX - digit) / 10) return -1;
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

TDateTime dateHeader(const net::TIdHeaderList& headers, std::u16string_view name) {
  const std::u16string value = headers.Values(name);
  return value.empty() ? TDateTime{} : HttpStrToDateTime(value);
}

}  // namespace

void TIdEntityHeaderInfo::SetContentType(std::u16string_view value) {
  TContentTypeParts parts = SplitContentType(value);
  m_contentType = std::move(parts.ContentType);
  CharSet = std::move(parts.CharSet);
}

std::u16string TIdEntityHeaderInfo::ContentRangeText() const {
  std::u16string out = ContentRangeUnits + u" ";
  if (ContentRangeStart >= 0 || ContentRangeEnd >= 0) {
    out += IntToStr(ContentRangeStart) + u"-" + IntToStr(ContentRangeEnd);
  } else {
    out += u"*";
  }
  out += u"/";
  out += ContentRangeInstanceLength >= 0 ? IntToStr(ContentRangeInstanceLength) : u"*";
  return out;
}

void TIdEntityHeaderInfo::ProcessEntityHeaders() {
  CacheControl = RawHeaders.Values(u"Cache-control");
  ContentDisposition = RawHeaders.Values(u"Content-Disposition");
  ContentEncoding = RawHeaders.Values(u"Content-Encoding");
  ContentLanguage = RawHeaders.Values(u"Content-Language");
  ContentVersion = RawHeaders.Values(u"Content-Version");
  SetContentType(RawHeaders.Values(u"Content-Type"));
  ContentLength = toInt64(RawHeaders.Values(u"Content-Length"));
  ETag = RawHeaders.Values(u"ETag");
  Pragma = RawHeaders.Values(u"Pragma");
  TransferEncoding = RawHeaders.Values(u"Transfer-Encoding");
  Expires = dateHeader(RawHeaders, u"Expires");
  LastModified = dateHeader(RawHeaders, u"Last-Modified");
  const std::u16string date = RawHeaders.Values(u"Date");
  Date = date.empty() ? std::chrono::system_clock::now() : HttpStrToDateTime(date);
}

void TIdRequestHeaderInfo::ProcessHeaders() {
  ProcessEntityHeaders();
  Accept = RawHeaders.Values(u"Accept");
  AcceptCharSet = RawHeaders.Values(u"Accept-Charset");
  AcceptEncoding = RawHeaders.Values(u"Accept-Encoding");
  AcceptLanguage = RawHeaders.Values(u"Accept-Language");
  Connection = RawHeaders.Values(u"Connection");
  From = RawHeaders.Values(u"From");
  Host = RawHeaders.Values(u"Host");
  MethodOverride = RawHeaders.Values(u"X-HTTP-Method-Override");
  Ranges = RawHeaders.Values(u"Range");
  Referer = RawHeaders.Values(u"Referer");
  UserAgent = RawHeaders.Values(u"User-Agent");
}

}  // namespace tessarine::net
