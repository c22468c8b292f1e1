#include "net/server/http_response_info.h"

#include "common/text.h"
#include "net/content_type.h"
#include "net/exceptions.h"
#include "net/server/http_request_info.h"
#include "net/server/server_exceptions.h"
#include "net/text_encoding.h"

namespace tessarine::server {

namespace {

// Write buffering for a whole answer is flushed in blocks of this size, so a large content stream is never
// held in memory at once.
constexpr int kAnswerBlockSize = 32768;

void addLine(std::u16string& block, std::u16string_view name, std::u16string_view value) {
  if (value.empty()) return;
  block.append(name).append(u": ").append(value).append(u"\r\n");
}

std::u16string statusPage(int responseNo, const std::u16string& responseText) {
  return u"<HTML><BODY><B>" + IntToStr(responseNo) + u" " + responseText + u"</B></BODY></HTML>";
}

}  // namespace

std::u16string ResponseTextFor(int responseNo) {
  switch (responseNo) {
    case 100:
      return u"Continue";
    case 200:
      return u"OK";
    case 201:
      return u"Created";
    case 202:
      return u"Accepted";
    case 203:
      return u"Non-authoritative Information";
    case 204:
      return u"No Content";
    case 205:
      return u"Reset Content";
    case 206:
      return u"Partial Content";
    case 301:
      return u"Moved Permanently";
    case 302:
      return u"Moved Temporarily";
    case 303:
      return u"See Other";
    case 304:
      return u"Not Modified";
    case 305:
      return u"Use Proxy";
    case 400:
      return u"Bad Request";
    case 401:
      return u"Unauthorized";
    case 403:
      return u"Forbidden";
    case 404:
      return u"Not Found";
    case 405:
      return u"Method not allowed";
    case 406:
      return u"Not Acceptable";
    case 407:
      return u"Proxy Authentication Required";
    case 408:
      return u"Request Timeout";
    case 409:
      return u"Conflict";
    case 410:
      return u"Gone";
    case 411:
      return u"Length Required";
    case 412:
      return u"Precondition Failed";
    case 413:
      return u"Request Entity Too Long";
    case 414:
      return u"Request-URI Too Long. 256 Chars max";
    case 415:
      return u"Unsupported Media Type";
    case 417:
      return u"Expectation Failed";
    case 428:
      return u"Precondition Required";
    case 429:
      return u"Too Many Requests";
    case 431:
      return u"Request Header Fields Too Large";
    case 500:
      return u"Internal Server Error";
    case 501:
      return u"Not Implemented";
    case 502:
      return u"Bad Gateway";
    case 503:
      return u"Service Unavailable";
    case 504:
      return u"Gateway timeout";
    case 505:
      return u"HTTP version not supported";
    case 511:
      return u"Network Authentication Required";
    default:
      return u"Unknown Response Code";
  }
}

TIdHTTPResponseInfo::TIdHTTPResponseInfo(net::TIdTCPConnection* connection, const TIdHTTPRequestInfo* request)
    : m_connection(connection), m_request(request) {}

TIdHTTPResponseInfo::~TIdHTTPResponseInfo() { dropContentStream(); }

void TIdHTTPResponseInfo::SetResponseNo(int responseNo) {
  m_responseNo = responseNo;
  ResponseText = ResponseTextFor(responseNo);
  if (responseNo == 404) SetCloseConnection(true);
}

void TIdHTTPResponseInfo::SetContentStream(TStream* stream) {
  if (stream == m_contentStream) return;
  dropContentStream();
  m_contentStream = stream;
}

void TIdHTTPResponseInfo::dropContentStream() {
  if (FreeContentStream) delete m_contentStream;
  m_contentStream = nullptr;
}

void TIdHTTPResponseInfo::SetCloseConnection(bool close) {
  m_closeConnection = close;
  Connection = close ? u"close" : u"keep-alive";
}

void TIdHTTPResponseInfo::Redirect(std::u16string url) {
  SetResponseNo(302);
  Location = std::move(url);
}

net::TIdIOHandler& TIdHTTPResponseInfo::ioHandler() const {
  if (m_connection == nullptr || m_connection->IOHandler() == nullptr) throw net::EIdNotConnected();
  return *m_connection->IOHandler();
}

void TIdHTTPResponseInfo::WriteHeader() {
  if (m_headerHasBeenWritten) throw EIdHTTPHeaderAlreadyWritten();
  m_headerHasBeenWritten = true;

  if (!AuthRealm.empty()) {
    SetResponseNo(401);
    if (m_contentText.empty() && m_contentStream == nullptr) {
      SetContentType(u"text/html; charset=utf-8");
      m_contentText = statusPage(m_responseNo, ResponseText);
      ContentLength = -1;
    }
  }
  const bool hasContent = !m_contentText.empty() || m_contentStream != nullptr;
  if (ContentType().empty() && hasContent) SetContentType(u"text/html; charset=ISO-8859-1");
  if (ContentLength == -1 && (TransferEncoding.empty() || SameTextAscii(TransferEncoding, u"identity"))) {
    if (!m_contentText.empty()) {
      ContentLength = static_cast<int64_t>(net::EncodingForCharset(CharSet)->GetByteCount(m_contentText));
    } else if (m_contentStream != nullptr) {
      ContentLength = m_contentStream->Size();
    } else {
      ContentLength = 0;
    }
  }
  if (!net::DateIsSet(Date)) Date = std::chrono::system_clock::now();

  std::u16string block = u"HTTP/1.1 " + IntToStr(m_responseNo) + u" " + ResponseText + u"\r\n";
  addLine(block, u"Connection", Connection);
  addLine(block, u"Content-Version", ContentVersion);
  addLine(block, u"Content-Disposition", ContentDisposition);
  addLine(block, u"Content-Encoding", ContentEncoding);
  addLine(block, u"Content-Language", ContentLanguage);
  if (!ContentType().empty()) {
    std::u16string value = ContentType();
    if (!CharSet.empty()) value += u"; charset=" + net::QuoteParameterValue(CharSet);
    addLine(block, u"Content-Type", value);
  }
  if (ContentLength >= 0) addLine(block, u"Content-Length", IntToStr(ContentLength));
  addLine(block, u"Cache-control", CacheControl);
  addLine(block, u"Date", net::DateTimeToHttpStr(Date));
  addLine(block, u"ETag", ETag);
  if (net::DateIsSet(Expires)) addLine(block, u"Expires", net::DateTimeToHttpStr(Expires));
  addLine(block, u"Pragma", Pragma);
  addLine(block, u"Transfer-Encoding", TransferEncoding);
  for (const std::u16string& line : CustomHeaders) block.append(line).append(u"\r\n");
  if (HasContentRange()) addLine(block, u"Content-Range", ContentRangeText());
  addLine(block, u"Accept-Patch", AcceptPatch);
  addLine(block, u"Accept-Ranges", AcceptRanges);
  if (net::DateIsSet(LastModified)) addLine(block, u"Last-Modified", net::DateTimeToHttpStr(LastModified));
  addLine(block, u"Server", ServerSoftware);
  addLine(block, u"Location", Location);
  if (!AuthRealm.empty()) addLine(block, u"WWW-Authenticate", u"Basic realm=\"" + AuthRealm + u"\"");
  for (const TIdCookie& cookie : Cookies) addLine(block, u"Set-Cookie", cookie.ServerCookie());
  block.append(u"\r\n");

  net::TIdIOHandler& io = ioHandler();
  const bool ownBuffer = !io.WriteBufferingActive();
  if (ownBuffer) io.WriteBufferOpen();
  try {
    io.Write(block);
    if (ownBuffer) io.WriteBufferClose();
  } catch (...) {
    if (ownBuffer) io.WriteBufferCancel();
    throw;
  }
}

void TIdHTTPResponseInfo::WriteContent() {
  struct ClearContent {
    TIdHTTPResponseInfo& self;
    ~ClearContent() {
      self.m_contentText.clear();
      self.dropContentStream();
    }
  } clearContent{*this};

  net::TIdIOHandler& io = ioHandler();
  // Header and body leave in one send: with Nagle on, a second small segment would wait for the peer's
  // delayed acknowledgement of the first.
  const bool ownBuffer = !io.WriteBufferingActive();
  if (ownBuffer) io.WriteBufferOpen(kAnswerBlockSize);
  try {
    if (!m_headerHasBeenWritten) WriteHeader();
    const bool isHead = m_request != nullptr && m_request->CommandType() == THTTPCommandType::hcHEAD;
    const bool noBody =
        isHead || (m_responseNo >= 100 && m_responseNo < 200) || m_responseNo == 204 || m_responseNo == 304;
    if (!noBody) {
      const net::TIdTextEncoding encoding = net::EncodingForCharset(CharSet);
      if (!m_contentText.empty()) {
        io.Write(m_contentText, encoding);
      } else if (m_contentStream != nullptr) {
        io.Write(*m_contentStream, 0);
      } else {
        io.WriteLn(statusPage(m_responseNo, ResponseText), encoding);
      }
    }
    if (ownBuffer) io.WriteBufferClose();
  } catch (...) {
    if (ownBuffer) io.WriteBufferCancel();
    throw;
  }
}

}  // namespace tessarine::server
