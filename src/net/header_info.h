#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "net/header_list.h"
#include "net/http_date.h"

namespace tessarine::net {

// Header fields that requests and answers share. Plain fields are public; ContentType has a side effect.
class TIdEntityHeaderInfo {
 public:
  virtual ~TIdEntityHeaderInfo() = default;

  const std::u16string& ContentType() const { return m_contentType; }
  // Splits the "charset" parameter off into CharSet (see SplitContentType).
  void SetContentType(std::u16string_view value);

  std::u16string CacheControl;
  std::u16string CharSet;
  std::u16string ContentDisposition;
  std::u16string ContentEncoding;
  std::u16string ContentLanguage;
  int64_t ContentLength = -1;
  int64_t ContentRangeStart = -1;
  int64_t ContentRangeEnd = -1;
  int64_t ContentRangeInstanceLength = -1;
  std::u16string ContentRangeUnits = u"bytes";
  std::u16string ContentVersion;
  TDateTime Date{};
  std::u16string ETag;
  TDateTime Expires{};
  TDateTime LastModified{};
  std::u16string Pragma;
  std::u16string TransferEncoding;
  TIdHeaderList CustomHeaders;
  TIdHeaderList RawHeaders;

  bool HasContentLength() const { return ContentLength >= 0; }
  bool HasContentRange() const {
    return ContentRangeStart >= 0 || ContentRangeEnd >= 0 || ContentRangeInstanceLength >= 0;
  }
  // "bytes 0-99/1234", "*" for the unknown parts.
  std::u16string ContentRangeText() const;

 protected:
  // Fills the entity fields from RawHeaders.
  void ProcessEntityHeaders();

 private:
  std::u16string m_contentType;
};

class TIdRequestHeaderInfo : public TIdEntityHeaderInfo {
 public:
  std::u16string Accept;
  std::u16string AcceptCharSet;
  std::u16string AcceptEncoding;
  std::u16string AcceptLanguage;
  std::u16string Connection;
  std::u16string From;
  std::u16string Host;
  std::u16string MethodOverride;
  std::u16string Ranges;
  std::u16string Referer;
  std::u16string UserAgent;

  // Fills every typed field from RawHeaders; a missing header reads as empty, a missing Date as now.
  void ProcessHeaders();
};

class TIdResponseHeaderInfo : public TIdEntityHeaderInfo {
 public:
  std::u16string AcceptPatch;
  std::u16string AcceptRanges;
  std::u16string Location;
  std::u16string Server;
};

}  // namespace tessarine::net
