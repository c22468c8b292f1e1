#include "common/text.h"
#include "net/client/http_client.h"
#include "net/http_date.h"

namespace tessarine::client {

void TIdHTTPRequest::SetHeaders() {
  RawHeaders.Clear();
  auto setIf = [this](std::u16string_view name, const std::u16string& value) {
    if (!value.empty()) RawHeaders.SetValue(name, value);
  };
  setIf(u"Connection", Connection);
  setIf(u"Content-Version", ContentVersion);
  setIf(u"Content-Disposition", ContentDisposition);
  setIf(u"Content-Encoding", ContentEncoding);
  setIf(u"Content-Language", ContentLanguage);
  if (!ContentType().empty()) {
    RawHeaders.SetValue(u"Content-Type", CharSet.empty() ? ContentType() : ContentType() + u"; charset=" + CharSet);
  }
  if (ContentLength >= 0) RawHeaders.SetValue(u"Content-Length", IntToStr(ContentLength));
  setIf(u"Cache-control", CacheControl);
  if (net::DateIsSet(Date)) RawHeaders.SetValue(u"Date", net::DateTimeToHttpStr(Date));
  setIf(u"ETag", ETag);
  if (net::DateIsSet(Expires)) RawHeaders.SetValue(u"Expires", net::DateTimeToHttpStr(Expires));
  setIf(u"Pragma", Pragma);
  setIf(u"Transfer-Encoding", TransferEncoding);

  for (const std::u16string& line : CustomHeaders) RawHeaders.Add(line);

  // SetValue: a custom line of the same name is overwritten in place, so the client's own value wins.
  setIf(u"Proxy-Connection", ProxyConnection);
  setIf(u"Host", Host);
  setIf(u"Accept", Accept);
  setIf(u"Accept-Charset", AcceptCharSet);
  setIf(u"Accept-Encoding", AcceptEncoding);
  setIf(u"Accept-Language", AcceptLanguage);
  setIf(u"From", From);
  setIf(u"Referer", Referer);
  setIf(u"User-Agent", UserAgent);
  setIf(u"Range", Ranges);
  if (net::DateIsSet(LastModified)) RawHeaders.SetValue(u"If-Modified-Since", net::DateTimeToHttpStr(LastModified));
  setIf(u"X-HTTP-Method-Override", MethodOverride);
}

}  // namespace tessarine::client
