#include "net/client/http_client.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <chrono>
#include <limits>

#include "common/text.h"
#include "net/client/compressor_zlib.h"
#include "net/client/cookie_manager.h"
#include "net/client/http_exceptions.h"
#include "net/client/limited_stream.h"
#include "net/client/meta_charset.h"
#include "net/client/ssl_channel.h"
#include "net/client/uri_resolve.h"
#include "net/content_type.h"
#include "net/exceptions.h"
#include "net/http_date.h"
#include "net/socket_stack.h"
#include "net/text_encoding.h"

namespace tessarine::client {

namespace {

constexpr int kConnectTimeoutMs = 15000;
constexpr int kReadTimeoutMs = 30000;
// A redirect's body is read only when its first bytes arrive within this time.
constexpr int kRedirectBodyWaitMs = 5000;
// Header lines of one reply; each is bounded by the line limit, so this bounds the whole block.
constexpr int kMaxReplyHeaderLines = 10000;

bool ContainsNoCase(std::u16string_view text, std::u16string_view part) {
  return LowerCaseAscii(text).find(LowerCaseAscii(part)) != std::u16string::npos;
}

bool IsMediaType(std::u16string_view contentType, std::u16string_view type) {
  const std::u16string_view media = net::MediaTypeOf(contentType);
  if (type.find(u'/') != std::u16string_view::npos) return SameTextAscii(media, type);
  const size_t slash = media.find(u'/');
  return slash != std::u16string_view::npos && SameTextAscii(media.substr(0, slash), type);
}

// The value of a parameter of a header value such as `multipart/mixed; boundary="x"`, quotes removed.
std::u16string HeaderParameter(std::u16string_view value, std::u16string_view name) {
  size_t start = value.find(u';');
  while (start != std::u16string_view::npos) {
    const size_t end = value.find(u';', start + 1);
    const std::u16string_view part =
        Trim(value.substr(start + 1, end == std::u16string_view::npos ? end : end - start - 1));
    const size_t eq = part.find(u'=');
    if (eq != std::u16string_view::npos && SameTextAscii(Trim(part.substr(0, eq)), name)) {
      std::u16string_view v = Trim(part.substr(eq + 1));
      if (v.size() >= 2 && v.front() == u'"' && v.back() == u'"') v = v.substr(1, v.size() - 2);
      return std::u16string(v);
    }
    start = end;
  }
  return {};
}

// A chunk-size line: hexadecimal before any ";", trimmed; anything else reads as 0. Leading zeros are only
// zeros, however many; a value too large for 63 bits gives -1.
int64_t ChunkSize(std::u16string_view line) {
  line = Trim(line.substr(0, std::min(line.find(u';'), line.size())));
  if (line.empty() || !std::all_of(line.begin(), line.end(), [](char16_t c) { return HexDigitValue(c) >= 0; }))
    return 0;
  int64_t size = 0;
  for (char16_t c : line) {
    const int digit = HexDigitValue(c);
    if (size > (std::numeric_limits<int64_t>::max() - digit) / 16) return -1;
    size = size * 16 + digit;
  }
  return size;
}

// Headers that carry a key or credentials: Authorization (Basic, Bearer, DeepL-Auth-Key, Api-Key ...) and the
// services' own key and token headers (X-Api-Key, Ocp-Apim-Subscription-Key, X-Goog-Api-Key, X-Auth-Token).
bool IsCredentialHeader(std::u16string_view name) {
  auto endsWith = [name](std::u16string_view suffix) {
    return name.size() >= suffix.size() && SameTextAscii(name.substr(name.size() - suffix.size()), suffix);
  };
  return SameTextAscii(name, u"Authorization") || SameTextAscii(name, u"Proxy-Authorization") || endsWith(u"key") ||
         endsWith(u"token");
}

// Calls use(data, size) with the bytes of stream from start on: in place for a memory stream (a body may be
// megabytes), else from a copy.
template <typename Use>
auto WithBytesFrom(TStream& stream, int64_t start, Use use) {
  if (const auto* memory = dynamic_cast<const TMemoryStream*>(&stream)) {
    const std::vector<uint8_t>& bytes = memory->Bytes();
    const size_t from = static_cast<size_t>(std::clamp<int64_t>(start, 0, memory->Size()));
    return use(bytes.data() + from, bytes.size() - from);
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(std::max<int64_t>(stream.Size() - start, 0)));
  const int64_t saved = stream.Position();
  stream.SetPosition(start);
  bytes.resize(stream.Read(bytes.data(), bytes.size()));
  stream.SetPosition(saved);
  return use(bytes.data(), bytes.size());
}

// Called once a refused reply's buffers are gone: they are free again, but glibc keeps freed heap for later
// use, and a program that runs for weeks gives the megabytes back to the system after so rare a reply.
void GiveBackFreedMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace

TIdHTTP::TIdHTTP() : m_compressor(std::make_unique<TIdCompressorZLib>()) {
  SetIOHandler(NewTlsIOHandler());
  // Without limits one silent engine would hold the one client, and every request queued behind it, forever.
  SetConnectTimeout(kConnectTimeoutMs);
  SetReadTimeout(kReadTimeoutMs);
  m_request.Accept = u"text/html";
  m_request.AcceptCharSet = u"utf-8";
  m_request.AcceptEncoding = u"identity";
  m_request.AcceptLanguage = u"en-us";
  m_request.UserAgent =
      u"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/53.0.2785.116 "
      u"Safari/537.36";
  m_request.ProxyConnection = u"NoProxy";
}

TIdHTTP::~TIdHTTP() = default;

void TIdHTTP::CustomHeadersAddValue(const std::u16string& name, const std::u16string& value) {
  m_request.CustomHeaders.AddValue(name, value);
}

void TIdHTTP::CustomHeadersClear() { m_request.CustomHeaders.Clear(); }

std::u16string TIdHTTP::Get(const std::u16string& url) {
  auto answer = std::make_unique<TMemoryStream>();
  try {
    DoRequest(u"GET", url, nullptr, answer.get());
  } catch (const EIdHTTPReplyTooLarge&) {
    answer.reset();
    GiveBackFreedMemory();
    throw;
  }
  return decodeText(*answer);
}

std::u16string TIdHTTP::Post(const std::u16string& url, TStream& source) {
  auto answer = std::make_unique<TMemoryStream>();
  const TIdHTTPProtocolVersion saved = m_protocolVersion;
  if ((m_options & hoKeepOrigProtocol) == 0) {
    if (Connected()) Disconnect();
    m_protocolVersion = pv1_0;
  }
  try {
    DoRequest(u"POST", url, &source, answer.get());
  } catch (const EIdHTTPReplyTooLarge&) {
    m_protocolVersion = saved;
    answer.reset();
    GiveBackFreedMemory();
    throw;
  } catch (...) {
    m_protocolVersion = saved;
    throw;
  }
  m_protocolVersion = saved;
  return decodeText(*answer);
}

void TIdHTTP::Abort() {
  m_aborted.store(true);
  Disconnect(false);
}

void TIdHTTP::ResumeCalls() { m_aborted.store(false); }

void TIdHTTP::checkNotAborted() const {
  if (m_aborted.load()) throw net::EIdClosedSocket();
}

std::u16string TIdHTTP::ReplyCharSet() const {
  const net::TIdTextEncoding encoding = net::EncodingForCharset(m_response.CharSet);
  if (encoding == net::IndyTextEncoding_8Bit()) return {};
  const auto* codePage = dynamic_cast<const net::TIdMBCSEncoding*>(encoding.get());
  return codePage && codePage->CodePage() == 28591 ? std::u16string() : m_response.CharSet;
}

std::u16string TIdHTTP::decodeText(const TMemoryStream& stream) const {
  return net::EncodingForCharset(m_response.CharSet)->GetString(stream.Bytes().data(), stream.Bytes().size());
}

void TIdHTTP::checkDeadline() const {
  if (m_deadline && std::chrono::steady_clock::now() >= *m_deadline) throw net::EIdReadTimeout();
}

void TIdHTTP::endFailedCall(bool keepConnection) {
  if (!keepConnection || !keepAlive()) Disconnect();
  // What a dropped connection left unread is never read; its buffer need not wait for the next call to go.
  if (net::TIdIOHandler* handler = IOHandler(); handler != nullptr && !handler->Opened())
    handler->InputBuffer().Clear();
}

void TIdHTTP::DoRequest(const std::u16string& method, const std::u16string& url, TStream* source,
                        TStream* responseStream) {
  m_redirectCount = 0;
  m_retryAfter.reset();
  m_refusedReply.reset();
  m_refusedStatus = 0;
  m_authRetries = 0;
  m_authProxyRetries = 0;
  m_callOrigin.clear();
  m_callHost.clear();
  const int64_t answerStart = responseStream->Position();
  m_request.URL = url;
  m_request.Method = method;
  m_request.Source = source;
  m_response.ContentStream = responseStream;
  m_deadline.reset();
  const int callLimit = m_callTimeLimit > 0 ? m_callTimeLimit : m_callTimeout;
  if (callLimit > 0) m_deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(callLimit);
  CreateIOHandler();
  // An engine given a longer limit than the client's (a language model that thinks for minutes before its first
  // byte) may wait that long for each read as well.
  const int readTimeout = ReadTimeout();
  const int callReadTimeout = m_callTimeLimit > readTimeout && readTimeout > 0 ? m_callTimeLimit : readTimeout;
  // Every wait of this call, on whichever connection, ends at the call's deadline.
  struct DeadlineScope {
    TIdHTTP& client;
    int readTimeout;
    ~DeadlineScope() {
      client.IOHandler()->SetDeadline(std::nullopt);
      client.SetReadTimeout(readTimeout);
      client.IOHandler()->SetReadTimeout(readTimeout);
    }
  } deadlineScope{*this, readTimeout};
  SetReadTimeout(callReadTimeout);
  IOHandler()->SetReadTimeout(callReadTimeout);
  IOHandler()->SetDeadline(m_deadline);

  auto truncateAnswer = [&] {
    responseStream->SetSize(answerStart);
    responseStream->SetPosition(answerStart);
  };
  try {
    while (true) {
      checkNotAborted();
      checkDeadline();
      m_replyComplete = false;
      prepareRequest();
      connectToHost();
      readStatusAndHeaders();
      const TIdHTTPWhatsNext next = processResponse();
      if (next == wnJustExit) break;
      switch (next) {
        case wnGoToURL:
          truncateAnswer();
          m_authRetries = m_authProxyRetries = 0;
          break;
        case wnDontKnow:
          throw EIdException("Not Acceptable");
        case wnReadAndGo:
          readResult(responseStream);
          truncateAnswer();
          m_authRetries = m_authProxyRetries = 0;
          break;
        case wnAuthRequest:
          m_request.URL = url;
          break;
        case wnJustExit:
          break;
      }
    }
    // An Abort during a body read to the close looks like the peer's close there: what was read is not the answer.
    checkNotAborted();
  } catch (const EIdHTTPReplyTooLarge&) {
    // Whatever was left of that reply is not worth reading past.
    endFailedCall(false);
    m_request.Source = nullptr;
    m_response.ContentStream = nullptr;
    throw;
  } catch (...) {
    // A reply broken off half-way leaves unread bytes on the connection: never reuse it.
    endFailedCall(m_replyComplete);
    m_request.Source = nullptr;
    m_response.ContentStream = nullptr;
    throw;
  }
  if (!keepAlive()) Disconnect();
  // The caller's streams end with this call.
  m_request.Source = nullptr;
  m_response.ContentStream = nullptr;
}

void TIdHTTP::prepareRequest() {
  const net::TIdURI uri(m_request.URL);
  if (!uri.Username.empty()) {
    m_request.Username = uri.Username;
    m_request.Password = uri.Password;
  }
  m_url.Username = m_request.Username;
  m_url.Password = m_request.Password;
  m_url.Path = ResolveRequestPath(m_url.Path, uri.Path);
  m_url.Document = uri.Document;
  m_url.Params = uri.Params;
  if (!uri.Host.empty()) {
    m_url.Host = uri.Host;
    m_url.IPVersion = uri.IPVersion;
  }
  // A relative location keeps the host, and so its address family (a bracketed IPv6 host stays IPv6).
  if (!uri.Protocol.empty()) {
    m_url.Protocol = uri.Protocol;
  } else {
    m_url.Protocol = SameTextAscii(m_url.Protocol, u"https") ? u"https" : u"http";
  }
  if (!uri.Port.empty()) {
    m_url.Port = uri.Port;
  } else if (SameTextAscii(uri.Protocol, u"http")) {
    m_url.Port = u"80";
  } else if (SameTextAscii(uri.Protocol, u"https")) {
    m_url.Port = u"443";
  } else if (m_url.Port.empty()) {
    throw EIdUnknownProtocol();
  }
  checkCredentialsMayGo();

  m_request.URL =
      SameTextAscii(m_request.Method, u"OPTIONS") && m_url.Document == u"*" ? u"*" : m_url.GetPathAndParams();
  m_request.IPVersion = m_url.IPVersion;

  for (const std::u16string& method : {m_request.Method, m_request.MethodOverride}) {
    for (const char16_t* needsV11 : {u"TRACE", u"PUT", u"OPTIONS", u"DELETE", u"PATCH"}) {
      if (SameTextAscii(method, needsV11) && m_protocolVersion != pv1_1)
        throw EIdException("Request method requires HTTP version 1.1");
    }
  }
  m_request.ContentLength = m_request.Source != nullptr ? m_request.Source->Size() : -1;

  std::u16string host = m_url.Host;
  if (m_url.IPVersion == net::Id_IPv6 && net::TIdStack::IsIPv6Literal(host)) host = u"[" + host + u"]";
  const bool defaultPort = (SameTextAscii(m_url.Protocol, u"http") && m_url.Port == u"80") ||
                           (SameTextAscii(m_url.Protocol, u"https") && m_url.Port == u"443");
  m_request.Host = defaultPort ? host : host + u":" + m_url.Port;

  if (auto* tls = dynamic_cast<TIdSSLIOHandlerSocketBase*>(IOHandler())) {
    tls->SetURIToCheck(m_url.Host.empty() ? std::u16string() : m_url.GetFullURI());
  }
}

void TIdHTTP::checkCredentialsMayGo() {
  const std::u16string origin =
      LowerCaseAscii(m_url.Protocol) + u"://" + LowerCaseAscii(m_url.Host) + u":" + m_url.Port;
  if (m_callOrigin.empty()) {
    m_callOrigin = origin;
    m_callHost = m_url.Host;
  }
  const bool credentials =
      m_carriesCredentials ||
      std::any_of(m_request.CustomHeaders.begin(), m_request.CustomHeaders.end(),
                  [](const std::u16string& line) { return IsCredentialHeader(line.substr(0, line.find(u':'))); });
  if (!credentials) return;
  // A redirect may point anywhere, and what it points to would get the key: it is followed only at home.
  if (origin != m_callOrigin) {
    const bool sameHost = SameTextAscii(m_url.Host, m_callHost);
    throw translate::ECredentialsWithheld((sameHost ? u"the reply redirects to another origin (" + origin
                                                    : u"the reply redirects to another host (" + m_url.Host) +
                                          u"); a request with a key is not sent there");
  }
  if (SameTextAscii(m_url.Protocol, u"http") && !net::TIdStack::IsLoopbackHost(m_url.Host)) {
    throw translate::ECredentialsWithheld(u"a request with a key is not sent over plain http to " + m_url.Host +
                                          u"; name the server with https://");
  }
}

void TIdHTTP::connectToHost() {
  net::TIdIOHandlerSocket* socket = Socket();
  if (socket != nullptr && socket->Binding() != nullptr && socket->IPVersion() != m_url.IPVersion && Connected())
    Disconnect();
  const std::u16string& host = m_url.Host;
  int port = 80;
  if (!m_url.Port.empty() && m_url.Port.size() <= 9 &&
      std::all_of(m_url.Port.begin(), m_url.Port.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; })) {
    port = std::stoi(ToUtf8(m_url.Port));
  }
  if ((!SameTextAscii(host, Host()) || port != Port()) && Connected()) Disconnect();
  const TIdHTTPConnectionType type = SameTextAscii(m_url.Protocol, u"HTTPS") ? ctSSL : ctNormal;
  SetHost(host);
  SetPort(port);

  if (type != m_request.UseProxy && Connected()) Disconnect();
  m_request.UseProxy = type;
  m_request.Destination = host + u":" + IntToStr(port);

  if (type == ctNormal) {
    if (m_protocolVersion == pv1_0 && m_request.Connection.empty()) m_request.Connection = u"keep-alive";
  } else {
    m_request.Connection.clear();
  }

  std::u16string& encoding = m_request.AcceptEncoding;
  if (m_compressor && m_compressor->IsReady()) {
    for (const char16_t* coding : {u"deflate", u"gzip"}) {
      if (encoding.find(coding) == std::u16string::npos)
        encoding = encoding.empty() ? coding : encoding + u", " + coding;
    }
  }
  if (!encoding.empty() && encoding.find(u"identity") == std::u16string::npos) encoding += u", identity";

  connectOrReuse(type);
  sendRequest();
}

void TIdHTTP::connectOrReuse(TIdHTTPConnectionType type) {
  if (!keepAlive()) Disconnect();
  if (net::TIdIOHandler* handler = IOHandler()) {
    handler->InputBuffer().Clear();
    // Notices a close by the peer since the last reply; bytes it pulls in belong to no reply of ours.
    if (handler->Opened() && !handler->Connected()) Disconnect();
    handler->InputBuffer().Clear();
  }
  if (Connected()) return;

  SetIPVersion(m_url.IPVersion);
  CreateIOHandler();
  auto* tls = dynamic_cast<TIdSSLIOHandlerSocketBase*>(IOHandler());
  const std::u16string fullUri = m_url.Host.empty() ? std::u16string() : m_url.GetFullURI();
  if (type == ctSSL) {
    if (tls == nullptr) throw EIdIOHandlerPropInvalid();
    tls->SetURIToCheck(fullUri);
    tls->SetPassThrough(false);
  } else if (tls != nullptr) {
    tls->SetPassThrough(true);
    tls->SetURIToCheck(fullUri);
  }
  checkNotAborted();
  Connect();
  // An Abort that came while the connection was being opened found nothing to close.
  if (m_aborted.load()) {
    Disconnect(false);
    checkNotAborted();
  }
}

void TIdHTTP::sendRequest() {
  net::TIdIOHandler& handler = *IOHandler();
  m_request.SetHeaders();
  if (m_allowCookies && m_cookieManager) {
    m_cookieManager->GenerateClientCookies(m_url, SameTextAscii(m_url.Protocol, u"HTTPS"), m_request.RawHeaders);
  }
  if (!handler.WriteBufferingActive()) handler.WriteBufferOpen();
  try {
    handler.WriteLn(m_request.Method + u" " + m_request.URL + u" HTTP/" +
                    (m_protocolVersion == pv1_0 ? u"1.0" : u"1.1"));
    for (const std::u16string& line : m_request.RawHeaders) {
      if (!line.empty()) handler.WriteLn(line);
    }
    handler.WriteLn();
    handler.WriteBufferClose();
  } catch (...) {
    handler.WriteBufferCancel();
    throw;
  }
  if (m_request.Source != nullptr) handler.Write(*m_request.Source, 0);
}

void TIdHTTP::readStatusAndHeaders() {
  net::TIdIOHandler& handler = *IOHandler();
  do {
    // Interim replies without end must not hold the call beyond its time.
    checkDeadline();
    std::u16string line = handler.ReadLn();
    if (handler.ReadLnTimedOut()) throw net::EIdReadTimeout();
    m_headerBlockBytes = 0;
    chargeHeaderLine(line);
    m_response.SetResponseText(std::move(line));
    retrieveHeaders();
    takeCookies();
  } while (m_response.ResponseCode() == 100);
}

void TIdHTTP::retrieveHeaders() {
  m_response.Clear();
  net::TIdIOHandler& handler = *IOHandler();
  try {
    while (true) {
      std::u16string line = handler.ReadLn();
      if (handler.ReadLnTimedOut()) throw net::EIdReadTimeout();
      chargeHeaderLine(line);
      if (line.empty()) break;
      if (m_response.RawHeaders.Count() >= kMaxReplyHeaderLines) throw net::EIdMaxCaptureLineExceeded();
      m_response.RawHeaders.Add(std::move(line));
    }
  } catch (const net::EIdConnClosedGracefully&) {
    Disconnect();
  }
  m_response.ProcessHeaders();
}

void TIdHTTP::chargeHeaderLine(const std::u16string& line) {
  // The default encoding reads one character per byte, so the length is the byte count.
  m_headerBlockBytes += static_cast<int64_t>(line.size()) + 2;
  if (m_maxHeaderBlockBytes > 0 && m_headerBlockBytes > m_maxHeaderBlockBytes) {
    // The lines read so far go now, not with the next reply.
    m_response.Clear();
    throw EIdHTTPReplyTooLarge(EIdHTTPReplyTooLarge::rpHeaderBlock, m_maxHeaderBlockBytes);
  }
}

void TIdHTTP::takeCookies() {
  if (!m_allowCookies) return;
  if (!m_cookieManager) m_cookieManager = std::make_unique<TIdCookieManager>();
  TStringList values;
  m_response.RawHeaders.Extract(u"Set-Cookie", values);
  m_cookieManager->AddServerCookies(values, m_url);
}

TIdHTTPWhatsNext TIdHTTP::processResponse() {
  const int code = m_response.ResponseCode();
  if (code / 100 == 3 && code != 304 && !m_response.Location.empty()) return processRedirect(code);
  if (code / 100 == 2) {
    const bool dropBody = SameTextAscii(m_request.Method, u"HEAD") || code == 204;
    readResult(dropBody ? nullptr : m_response.ContentStream);
    return wnJustExit;
  }
  // Credentials are never held, so 401 and 407 are errors like any other.
  raiseProtocolError(code);
}

TIdHTTPWhatsNext TIdHTTP::processRedirect(int code) {
  ++m_redirectCount;
  if (!m_handleRedirects) raiseProtocolError(code);
  TIdHTTPWhatsNext next = wnJustExit;
  if (m_redirectCount < m_redirectMaximum) {
    m_request.URL = m_response.Location;
    if (code == 303 || (code == 302 && (m_options & hoTreat302Like303) != 0)) {
      m_request.Method = u"GET";
      m_request.Source = nullptr;
    }
    m_request.MethodOverride.clear();
    next = wnGoToURL;
  }
  if (Connected()) readResult(nullptr);
  m_replyComplete = true;
  return next;
}

void TIdHTTP::raiseProtocolError(int code) {
  TMemoryStream body;
  try {
    readResult(&body);
  } catch (const net::EIdConnClosedGracefully&) {
    Disconnect();
  }
  m_replyComplete = true;
  const std::u16string retryAfter(Trim(m_response.RawHeaders.Values(u"Retry-After")));
  if (!retryAfter.empty()) {
    if (std::all_of(retryAfter.begin(), retryAfter.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; })) {
      int64_t seconds = 0;
      for (char16_t c : retryAfter) seconds = std::min<int64_t>(seconds * 10 + (c - u'0'), INT32_MAX);
      m_retryAfter = seconds;
    } else if (const net::TDateTime when = net::HttpStrToDateTime(retryAfter); net::DateIsSet(when)) {
      m_retryAfter = std::max<int64_t>(
          0, std::chrono::duration_cast<std::chrono::seconds>(when - std::chrono::system_clock::now()).count());
    }
  }
  m_refusedReply = decodeText(body);
  m_refusedStatus = code;
  throw EIdHTTPProtocolException(code, m_response.ResponseText(), *m_refusedReply);
}

void TIdHTTP::readResult(TStream* target) {
  net::TIdIOHandler& handler = *IOHandler();
  const int code = m_response.ResponseCode();
  const bool chunked = ContainsNoCase(m_response.TransferEncoding, u"chunked");
  bool hasBody = chunked || !m_response.HasContentLength() || m_response.ContentLength > 0;
  if (SameTextAscii(m_request.Method, u"HEAD") || code / 100 == 1 || code == 204 || code == 304) hasBody = false;
  if (hasBody && code / 100 == 3 && handler.InputBufferIsEmpty())
    hasBody = handler.CheckForDataOnSource(kRedirectBodyWaitMs);
  if (!hasBody) {
    m_replyComplete = true;
    return;
  }

  const bool decode = target != nullptr && (SameTextAscii(m_response.ContentEncoding, u"deflate") ||
                                            SameTextAscii(m_response.ContentEncoding, u"gzip"));
  TMemoryStream encoded;
  // Also a body that is dropped is counted: nothing of it is kept, but it is read all the same.
  TLimitedStream body(decode ? &encoded : target, m_maxBodyBytes, EIdHTTPReplyTooLarge::rpBody);
  const int64_t bodyStart = target != nullptr ? target->Position() : 0;

  if (chunked) {
    readChunked(body);
  } else if (m_response.HasContentLength()) {
    // A body announced larger than the limit is refused before a byte of it is read.
    if (m_response.ContentLength > body.Remaining()) body.RaiseTooLarge();
    try {
      handler.ReadStream(&body, m_response.ContentLength, false);
    } catch (const net::EIdConnClosedGracefully&) {
      // A body cut short by the peer's close keeps what arrived.
    }
  } else if (IsMediaType(m_response.ContentType(), u"multipart")) {
    readMultipart(body, HeaderParameter(m_response.ContentType(), u"boundary"));
  } else {
    handler.ReadStream(&body, -1, true);
  }
  m_replyComplete = true;

  // An empty body has nothing to inflate; zlib would call it truncated.
  if (decode && encoded.Size() > 0) {
    encoded.SetPosition(0);
    // A few hundred kilobytes can inflate to gigabytes: the output is counted as it comes.
    TLimitedStream decoded(target, m_maxDecodedBytes, EIdHTTPReplyTooLarge::rpDecodedBody);
    if (SameTextAscii(m_response.ContentEncoding, u"deflate")) {
      m_compressor->DecompressDeflateStream(encoded, decoded);
    } else {
      m_compressor->DecompressGZipStream(encoded, decoded);
    }
  }
  if (target != nullptr) applyCharsetRules(*target, bodyStart);
}

void TIdHTTP::readChunked(TLimitedStream& target) {
  net::TIdIOHandler& handler = *IOHandler();
  while (true) {
    // Chunks without end, however quickly they come, stop at the call's deadline.
    checkDeadline();
    const std::u16string line = handler.ReadLn();
    if (handler.ReadLnTimedOut()) throw net::EIdReadTimeout();
    target.Charge(static_cast<int64_t>(line.size()) + 2);
    const int64_t size = ChunkSize(line);
    if (size < 0 || size > target.Remaining()) target.RaiseTooLarge();
    if (size == 0) break;
    handler.ReadStream(&target, size, false);
    target.Charge(static_cast<int64_t>(handler.ReadLn().size()) + 2);
  }
  while (true) {
    std::u16string trailer = handler.ReadLn();
    if (handler.ReadLnTimedOut()) throw net::EIdReadTimeout();
    // Trailer lines join the header lines, and their limit.
    chargeHeaderLine(trailer);
    if (trailer.empty()) break;
    if (m_response.RawHeaders.Count() >= kMaxReplyHeaderLines) throw net::EIdMaxCaptureLineExceeded();
    m_response.RawHeaders.Add(std::move(trailer));
  }
}

void TIdHTTP::readMultipart(TLimitedStream& target, std::u16string_view boundary) {
  net::TIdIOHandler& handler = *IOHandler();
  const std::vector<uint8_t> delimiter =
      net::IndyTextEncoding_8Bit()->GetBytes(u"--" + std::u16string(boundary) + u"--");
  net::TIdBuffer& input = handler.InputBuffer();
  auto moveOut = [&](size_t count) { input.ExtractToStream(target, static_cast<ptrdiff_t>(count)); };
  while (true) {
    const ptrdiff_t found = input.IndexOf(delimiter);
    if (found >= 0) {
      moveOut(static_cast<size_t>(found) + delimiter.size());
      try {
        target.Charge(static_cast<int64_t>(handler.ReadLn().size()) + 2);
      } catch (const net::EIdConnClosedGracefully&) {
      }
      return;
    }
    // Everything but a possible start of the delimiter can go now.
    if (input.Size() >= delimiter.size()) moveOut(input.Size() - (delimiter.size() - 1));
    checkDeadline();
    if (!handler.CheckForDataOnSource(net::IdTimeoutDefault)) {
      // The peer's close ends the body with what arrived, the bytes held back for a split delimiter included.
      // (Connected would not tell: those held-back bytes alone make it true.)
      if (handler.ClosedGracefully()) {
        moveOut(input.Size());
        return;
      }
      if (!handler.Opened()) throw net::EIdClosedSocket();
      throw net::EIdReadTimeout();
    }
  }
}

void TIdHTTP::applyCharsetRules(TStream& target, int64_t bodyStart) {
  const std::u16string_view media = net::MediaTypeOf(m_response.ContentType());
  const bool html = SameTextAscii(media, u"text/html") || SameTextAscii(media, u"text/html-sandboxed") ||
                    SameTextAscii(media, u"application/xhtml+xml");
  if (html) {
    if ((m_options & hoNoParseMetaHTTPEquiv) != 0) return;
    net::TIdHeaderList lines;
    std::u16string metaCharSet = WithBytesFrom(
        target, bodyStart, [&](const uint8_t* data, size_t size) { return ParseMetaHTTPEquiv(data, size, lines); });
    if (lines.Count() > 0) {
      m_response.MetaHTTPEquiv = lines;
      if (metaCharSet.empty()) {
        const std::u16string metaType = lines.Values(u"Content-Type");
        if (!HeaderParameter(metaType, u"charset").empty()) metaCharSet = net::SplitContentType(metaType).CharSet;
      }
      for (int i = 0; i < lines.Count(); ++i) {
        if (lines.IsContinuation(i)) continue;
        const std::u16string_view name = lines.Names(i);
        if (!name.empty()) m_response.RawHeaders.SetValue(name, lines.ValueFromIndex(i));
      }
      m_response.ProcessHeaders();
    }
    if (!metaCharSet.empty()) m_response.CharSet = metaCharSet;
    return;
  }
  if ((m_options & hoNoParseXmlCharset) != 0) return;
  const size_t slash = media.find(u'/');
  const bool xml = SameTextAscii(media, u"application/xml") ||
                   SameTextAscii(media, u"application/xml-external-parsed-entity") ||
                   SameTextAscii(media, u"application/xml-dtd") ||
                   (slash != std::u16string_view::npos && !SameTextAscii(media.substr(0, slash), u"text") &&
                    media.size() >= 4 && SameTextAscii(media.substr(media.size() - 4), u"+xml"));
  if (xml) {
    m_response.CharSet =
        WithBytesFrom(target, bodyStart, [](const uint8_t* data, size_t size) { return XmlCharSet(data, size); });
  }
}

bool TIdHTTP::keepAlive() {
  try {
    if (!Connected()) return false;
  } catch (const EIdException&) {
    return false;
  }
  const std::u16string_view connection = Trim(m_response.Connection);
  const std::u16string_view proxyConnection = Trim(m_response.ProxyConnection);
  if (m_protocolVersion == pv1_0) {
    return SameTextAscii(connection, u"KEEP-ALIVE") || SameTextAscii(proxyConnection, u"KEEP-ALIVE");
  }
  return !SameTextAscii(connection, u"CLOSE") && !SameTextAscii(proxyConnection, u"CLOSE");
}

}  // namespace tessarine::client
