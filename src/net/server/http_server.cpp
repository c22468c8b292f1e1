#include "net/server/http_server.h"

#include <chrono>

#include "common/text.h"
#include "net/content_type.h"
#include "net/exceptions.h"
#include "net/io_handler.h"
#include "net/io_handler_socket.h"
#include "net/server/server_exceptions.h"
#include "net/text_encoding.h"
#include "net/uri.h"

namespace tessarine::server {

namespace {

constexpr size_t npos = std::u16string::npos;

bool isFormEncoded(std::u16string_view contentType) {
  return SameTextAscii(net::MediaTypeOf(contentType), u"application/x-www-form-urlencoded");
}

// A chunk size: hexadecimal digits only, anything else (or a value past 63 bits) counts as 0.
int64_t chunkSize(std::u16string_view line) {
  line = Trim(line.substr(0, std::min(line.find(u';'), line.size())));
  if (line.empty()) return 0;
  uint64_t value = 0;
  for (char16_t c : line) {
    const int digit = HexDigitValue(c);
    if (digit < 0) return 0;
    if (value > (static_cast<uint64_t>(INT64_MAX) >> 4)) return 0;
    value = value * 16 + static_cast<uint64_t>(digit);
  }
  return static_cast<int64_t>(value);
}

// RFC 4648 base64; characters outside the alphabet (blanks, padding) are skipped.
std::string decodeBase64(std::u16string_view text) {
  std::string out;
  uint32_t accumulator = 0;
  int bits = 0;
  for (char16_t c : text) {
    const int value = Base64DigitValue(c);
    if (value < 0) continue;
    accumulator = (accumulator << 6) | static_cast<uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((accumulator >> bits) & 0xFF);
    }
  }
  return out;
}

// Error answers of the request reader: status line, Connection, Content-Length 0 and Date.
void writeRefusal(TIdHTTPResponseInfo& response, int responseNo) {
  response.SetResponseNo(responseNo);
  response.SetCloseConnection(true);
  response.WriteHeader();
}

// A line of the request. Once the request's time is up a read ends as a time-out, which must not pass for an
// empty line (the end of the headers or of the chunks).
std::u16string readLine(net::TIdIOHandler& io) {
  std::u16string line = io.ReadLn();
  if (io.ReadLnTimedOut()) throw net::EIdReadTimeout();
  return line;
}

// After a refusal, what the client still sends is dropped for a moment, up to a size, or until it closes:
// closing with bytes unread resets the connection, and a reset loses the answer for a client still sending and
// for one whose system drops what it received when the reset comes.
void discardRest(net::TIdIOHandler& io) {
  constexpr auto kDiscardTime = std::chrono::milliseconds(500);
  constexpr size_t kDiscardBytes = 1 << 20;
  io.InputBuffer().Clear();
  const auto until = std::chrono::steady_clock::now() + kDiscardTime;
  size_t discarded = 0;
  try {
    while (discarded < kDiscardBytes) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !io.CheckForDataOnSource(static_cast<int>(left.count()))) return;
      discarded += io.InputBuffer().Size();
      io.InputBuffer().Clear();
    }
  } catch (const net::EIdSocketError& e) {
    // A client that has gone has nothing more to lose.
    if (!net::IsConnectionEnd(e.LastError())) throw;
  }
}

// Unlists itself from the waiting connections before its connection goes.
class THTTPServerContext final : public TIdServerContext {
 public:
  THTTPServerContext(std::unique_ptr<net::TIdTCPConnection> connection, TIdYarn* yarn, TIdContextList* contexts,
                     TIdCustomTCPServer* server, TWaitingConnections& waiting)
      : TIdServerContext(std::move(connection), yarn, contexts, server), m_waiting(waiting) {}
  ~THTTPServerContext() override { m_waiting.remove(*this); }

 private:
  TWaitingConnections& m_waiting;
};

}  // namespace

TIdCustomHTTPServer::TIdCustomHTTPServer() = default;

TIdCustomHTTPServer::~TIdCustomHTTPServer() { Deactivate(); }

void TIdCustomHTTPServer::SetSessionState(bool sessionState) {
  if (Active()) throw EIdHTTPCannotSwitchSessionStateWhenActive();
  m_sessionState = sessionState;
}

void TIdCustomHTTPServer::SetSessionIDCookieName(std::u16string_view name) {
  if (Active()) throw EIdHTTPCannotSwitchSessionIDCookieNameWhenActive();
  const std::u16string_view trimmed = Trim(name);
  if (trimmed.empty()) throw EIdException(std::string_view("Invalid cookie name"));
  m_sessionIDCookieName = trimmed;
}

void TIdCustomHTTPServer::SetSessionList(TIdHTTPDefaultSessionList* list) {
  if (Active()) throw EIdException(std::string_view("Cannot change session list when the server is active."));
  if (m_implicitSessionList && list != m_implicitSessionList.get()) m_implicitSessionList.reset();
  m_sessionList = list;
}

void TIdCustomHTTPServer::Startup() {
  // The session settings are fixed before the listeners start: a worker reads them as soon as a connection
  // arrives. A start-up that fails below them leaves SessionState as it found it.
  const bool sessionStateBefore = m_sessionState;
  if (m_sessionList == nullptr) {
    m_implicitSessionList = std::make_unique<TIdHTTPDefaultSessionList>();
    m_sessionList = m_implicitSessionList.get();
  }
  if (m_sessionTimeOut != 0) {
    m_sessionList->SetSessionTimeout(m_sessionTimeOut);
  } else {
    // Without a time-out sessions never expire, so the layer stays off (for this and later activations).
    m_sessionState = false;
  }
  m_sessionList->SetOnSessionStart([this](TIdHTTPSession& session) {
    if (OnSessionStart) OnSessionStart(session);
  });
  m_sessionList->SetOnSessionEnd([this](TIdHTTPSession& session) {
    if (OnSessionEnd) OnSessionEnd(session);
  });
  try {
    TIdCustomTCPServer::Startup();
  } catch (...) {
    // Workers of listeners that did start may read the flag: it is put back only after they have ended.
    TIdCustomHTTPServer::Shutdown();
    m_sessionState = sessionStateBefore;
    throw;
  }
  if (m_sessionState) m_sessionCleaner = std::make_unique<TIdHTTPSessionCleanerThread>(*m_sessionList);
}

void TIdCustomHTTPServer::Shutdown() {
  // Sessions end first (stopping the cleaner ends them); the list object itself goes only after every worker,
  // which may still look into it, has finished.
  m_sessionCleaner.reset();
  if (m_sessionList != nullptr) m_sessionList->Clear();
  TIdCustomTCPServer::Shutdown();
  if (m_implicitSessionList) {
    m_implicitSessionList.reset();
    m_sessionList = nullptr;
  }
}

bool TIdCustomHTTPServer::DoExecute(TIdContext& context) { return ServeConnection(context); }

std::unique_ptr<TIdServerContext> TIdCustomHTTPServer::CreateContext(std::unique_ptr<net::TIdTCPConnection> connection,
                                                                     TIdYarn* yarn) {
  return std::make_unique<THTTPServerContext>(std::move(connection), yarn, &Contexts(), this, m_waiting);
}

void TIdCustomHTTPServer::ContextCreated(TIdContext& context) {
  beginWaiting(context);
  TIdCustomTCPServer::ContextCreated(context);
}

bool TIdCustomHTTPServer::MakeRoomForAccept() { return m_waiting.closeOldest(); }

void TIdCustomHTTPServer::beginWaiting(TIdContext& context) {
  net::TIdTCPConnection& connection = *context.Connection();
  if (m_requestTimeout > 0) {
    connection.IOHandler()->SetDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(m_requestTimeout));
  }
  m_waiting.add(context, connection);
}

void TIdCustomHTTPServer::endWaiting(TIdContext& context) {
  m_waiting.remove(context);
  context.Connection()->IOHandler()->SetDeadline(std::nullopt);
}

bool TIdCustomHTTPServer::ServeConnection(TIdContext& context) {
  net::TIdTCPConnection& connection = *context.Connection();
  struct DisconnectOnLeave {
    TWaitingConnections& waiting;
    TIdContext& context;
    net::TIdTCPConnection& connection;
    ~DisconnectOnLeave() {
      waiting.remove(context);
      try {
        connection.Disconnect(false);
      } catch (...) {
      }
    }
  } disconnect{m_waiting, context, connection};
  try {
    for (bool first = true; serveRequest(context, first); first = false) {
    }
  } catch (const net::EIdSocketError& e) {
    if (!net::IsConnectionEnd(e.LastError())) throw;
  } catch (const net::EIdClosedSocket&) {
  }
  return false;
}

bool TIdCustomHTTPServer::serveRequest(TIdContext& context, bool first) {
  net::TIdTCPConnection& connection = *context.Connection();
  net::TIdIOHandler& io = *connection.IOHandler();
  if (!first) beginWaiting(context);

  std::u16string inputLine;
  try {
    inputLine = readLine(io);
  } catch (const net::EIdReadLnMaxLineLengthExceeded&) {
    TIdHTTPRequestInfo request;
    TIdHTTPResponseInfo response(&connection, &request);
    refuseOverLimit(context, response, 414, u"request line longer than " + IntToStr(io.MaxLineLength()) + u" bytes");
    return false;
  }
  const size_t lastSpace = inputLine.rfind(u' ');
  if (lastSpace == npos) throw EIdHTTPErrorParsingCommand();

  TIdHTTPRequestInfo request;
  TIdHTTPResponseInfo response(&connection, &request);
  response.ServerSoftware = Trim(m_serverSoftware);
  io.SetMaxCapturedLines(m_maximumHeaderLineCount);

  request.SetVersion(inputLine.substr(lastSpace + 1));
  std::u16string_view line = std::u16string_view(inputLine).substr(0, lastSpace);

  request.RawHeaders.Clear();
  try {
    io.Capture(request.RawHeaders, u"");
  } catch (const net::EIdReadLnMaxLineLengthExceeded&) {
    refuseOverLimit(context, response, 431, u"header line longer than " + IntToStr(io.MaxLineLength()) + u" bytes");
    return false;
  } catch (const net::EIdMaxCaptureLineExceeded&) {
    refuseOverLimit(context, response, 431, u"more than " + IntToStr(io.MaxCapturedLines() + 1) + u" header lines");
    return false;
  }
  request.ProcessHeaders();

  if (!m_keepAlive) {
    response.SetCloseConnection(true);
  } else if (request.IsVersionAtLeast(1, 1)) {
    response.SetCloseConnection(SameTextAscii(request.Connection, u"close"));
  } else {
    response.SetCloseConnection(!SameTextAscii(request.Connection, u"keep-alive"));
  }

  const size_t firstSpace = line.find(u' ');
  std::u16string command = UpperCaseAscii(line.substr(0, firstSpace));
  const std::u16string_view target = firstSpace == npos ? std::u16string_view() : line.substr(firstSpace + 1);
  if (command == u"POST") {
    std::u16string override = request.MethodOverride;
    if (override.empty()) override = request.RawHeaders.Values(u"X-HTTP-Method");
    if (override.empty()) override = request.RawHeaders.Values(u"X-METHOD-OVERRIDE");
    if (!override.empty()) command = UpperCaseAscii(override);
  }
  request.RawHTTPCommand = inputLine;
  if (net::TIdIOHandlerSocket* socket = connection.Socket(); socket != nullptr && socket->Binding() != nullptr)
    request.RemoteIP = socket->Binding()->PeerIP();
  request.SetCommandType(DecodeHTTPCommand(command));
  request.Command = std::move(command);

  const size_t question = target.find(u'?');
  request.URI = target.substr(0, question);
  request.QueryParams = question == npos ? std::u16string() : std::u16string(target.substr(question + 1));
  if (request.URI == u"*") {
    request.SetDocument(u"*");
  } else {
    const net::TIdURI uri(request.URI);
    request.SetDocument(net::TIdURI::URLDecode(uri.Path) + net::TIdURI::URLDecode(uri.Document));
    if (!uri.Host.empty() && request.Host.empty()) request.Host = uri.Host;
  }

  if (!DoHeadersAvailable(context, request.URI, request.RawHeaders)) {
    int responseNo = 403;
    std::u16string responseText;
    std::u16string contentText;
    DoHeadersBlocked(context, request.RawHeaders, responseNo, responseText, contentText);
    response.SetResponseNo(responseNo);
    if (!responseText.empty()) response.ResponseText = responseText;
    response.SetContentText(contentText);
    response.SetCloseConnection(true);
    response.WriteHeader();
    if (!contentText.empty()) response.WriteContent();
    return false;
  }
  if (request.IsVersionAtLeast(1, 1)) {
    if (request.Host.empty()) {
      writeRefusal(response, 400);
      return false;
    }
    if (io.InputBufferIsEmpty() && request.RawHeaders.IndexOfName(u"Expect") >= 0) {
      const std::u16string expectations = request.RawHeaders.Values(u"Expect");
      if (!DoHeaderExpectations(context, expectations)) {
        writeRefusal(response, 417);
        return false;
      }
      if (LowerCaseAscii(expectations).find(u"100-continue") != npos)
        io.Write(request.Version + u" 100 " + ResponseTextFor(100) + u"\r\n\r\n");
    }
  }

  if (!readBody(context, request, response)) return false;
  endWaiting(context);

  const bool formEncoded = isFormEncoded(request.ContentType());
  if (request.PostStream() != nullptr && formEncoded) {
    TStream& stream = *request.PostStream();
    std::vector<uint8_t> bytes(static_cast<size_t>(stream.Size()));
    stream.SetPosition(0);
    bytes.resize(stream.Read(bytes.data(), bytes.size()));
    request.FormParams = net::IndyTextEncoding_8Bit()->GetString(bytes.data(), bytes.size());
    DoneWithPostStream(context, request);
  }
  request.UnparsedParams = request.FormParams;
  if (!request.QueryParams.empty()) {
    request.UnparsedParams =
        request.UnparsedParams.empty() ? request.QueryParams : request.FormParams + u"&" + request.QueryParams;
  }
  if (m_parseParams) request.FillParams(formEncoded ? request.UnparsedParams : request.QueryParams);

  TStringList cookieLines;
  request.RawHeaders.Extract(u"Cookie", cookieLines);
  for (const std::u16string& value : cookieLines) request.Cookies.AddClientCookies(value);

  parseAuthorization(context, request);

  if (getSessionFromCookie(context, request, response)) dispatch(context, request, response);
  completeAnswer(io, response);
  return !response.CloseConnection();
}

bool TIdCustomHTTPServer::readBody(TIdContext& context, TIdHTTPRequestInfo& request, TIdHTTPResponseInfo& response) {
  net::TIdIOHandler& io = *context.Connection()->IOHandler();
  const std::u16string& transferEncoding = request.TransferEncoding;
  if (transferEncoding.empty() || SameTextAscii(transferEncoding, u"identity")) {
    if (request.HasContentLength()) {
      request.SetPostStream(CreatePostStream(context, request.RawHeaders));
      // ReadStream grows the stream only as bytes arrive, whatever length was announced.
      if (request.ContentLength > 0) io.ReadStream(request.PostStream(), request.ContentLength);
      request.PostStream()->SetPosition(0);
    } else if (request.CommandType() == THTTPCommandType::hcPOST || request.CommandType() == THTTPCommandType::hcPUT) {
      if (io.InputBufferIsEmpty()) io.CheckForDataOnSource(1);
      if (!io.InputBufferIsEmpty()) {
        writeRefusal(response, 411);
        return false;
      }
    }
    return true;
  }
  if (LowerCaseAscii(transferEncoding).find(u"chunked") != npos) {
    request.SetPostStream(CreatePostStream(context, request.RawHeaders));
    while (true) {
      const int64_t size = chunkSize(readLine(io));
      if (size == 0) break;
      io.ReadStream(request.PostStream(), size);
      readLine(io);
    }
    while (!readLine(io).empty()) {
    }
    request.PostStream()->SetPosition(0);
    return true;
  }
  writeRefusal(response, 400);
  return false;
}

void TIdCustomHTTPServer::refuseOverLimit(TIdContext& context, TIdHTTPResponseInfo& response, int responseNo,
                                          const std::u16string& reason) {
  DoRequestRefused(context, responseNo, reason);
  response.SetResponseNo(responseNo);
  // The table's text for 414 names a limit of 256 characters, which is not this server's.
  if (responseNo == 414) response.ResponseText = u"URI Too Long";
  response.SetCloseConnection(true);
  response.WriteHeader();
  discardRest(*context.Connection()->IOHandler());
}

void TIdCustomHTTPServer::parseAuthorization(TIdContext& context, TIdHTTPRequestInfo& request) {
  if (request.RawHeaders.IndexOfName(u"Authorization") < 0) return;
  const std::u16string value = request.RawHeaders.Values(u"Authorization");
  const std::u16string_view rest = value;
  const size_t space = rest.find(u' ');
  const std::u16string authType(rest.substr(0, space));
  const std::u16string authData(space == npos ? std::u16string_view() : Trim(rest.substr(space + 1)));
  std::u16string username;
  std::u16string password;
  if (!DoParseAuthentication(context, authType, authData, username, password)) {
    if (!SameTextAscii(authType, u"Basic")) throw EIdHTTPUnsupportedAuthorisationScheme();
    const std::u16string decoded = FromUtf8(decodeBase64(authData));
    const size_t colon = decoded.find(u':');
    username = decoded.substr(0, colon);
    if (colon != npos) password = decoded.substr(colon + 1);
  }
  request.AuthExists = true;
  request.AuthUsername = std::move(username);
  request.AuthPassword = std::move(password);
}

bool TIdCustomHTTPServer::getSessionFromCookie(TIdContext& context, TIdHTTPRequestInfo& request,
                                               TIdHTTPResponseInfo& response) {
  if (!m_sessionState || m_sessionList == nullptr) return true;
  for (const TIdCookie& cookie : request.Cookies) {
    if (cookie.CookieName != m_sessionIDCookieName) continue;
    std::shared_ptr<TIdHTTPSession> session = m_sessionList->GetSession(cookie.Value, request.RemoteIP);
    if (session) {
      request.Session = session;
      response.Session = std::move(session);
      return true;
    }
    bool continueProcessing = true;
    if (OnInvalidSession) OnInvalidSession(context, request, response, continueProcessing, cookie.Value);
    if (!continueProcessing) return false;
  }
  if (!m_autoStartSession) return true;
  std::shared_ptr<TIdHTTPSession> session;
  if (OnCreateSession) OnCreateSession(context, session);
  if (session) {
    m_sessionList->Add(session);
  } else {
    session = m_sessionList->CreateSession(request.RemoteIP);
  }
  TIdCookie& cookie = response.Cookies.Add(m_sessionIDCookieName, session->SessionID());
  cookie.Path = u"/";
  request.Session = session;
  response.Session = std::move(session);
  return true;
}

void TIdCustomHTTPServer::dispatch(TIdContext& context, TIdHTTPRequestInfo& request, TIdHTTPResponseInfo& response) {
  auto fail = [&](std::u16string message) {
    response.SetResponseNo(500);
    response.SetContentText(message);
    DoCommandError(context, request, response, std::current_exception());
  };
  try {
    switch (request.CommandType()) {
      case THTTPCommandType::hcHEAD:
      case THTTPCommandType::hcGET:
      case THTTPCommandType::hcPOST:
        DoCommandGet(context, request, response);
        break;
      default:
        DoCommandOther(context, request, response);
        break;
    }
  } catch (const net::EIdSocketError&) {
    throw;
  } catch (const Exception& e) {
    fail(e.Message());
  } catch (const std::exception& e) {
    fail(FromUtf8(e.what()));
  } catch (...) {
    fail({});
  }
}

// Whatever the handler left undone: the header, then the content it set.
void TIdCustomHTTPServer::completeAnswer(net::TIdIOHandler& io, TIdHTTPResponseInfo& response) {
  // One send for header and body (see WriteContent).
  const bool ownBuffer = !io.WriteBufferingActive();
  if (ownBuffer) io.WriteBufferOpen(32768);
  try {
    if (!response.HeaderHasBeenWritten()) response.WriteHeader();
    if (!response.ContentText().empty() || response.ContentStream() != nullptr) response.WriteContent();
    if (ownBuffer) io.WriteBufferClose();
  } catch (...) {
    if (ownBuffer) io.WriteBufferCancel();
    throw;
  }
}

void TIdCustomHTTPServer::DoCommandGet(TIdContext& context, TIdHTTPRequestInfo& request,
                                       TIdHTTPResponseInfo& response) {
  if (OnCommandGet) OnCommandGet(context, request, response);
}

void TIdCustomHTTPServer::DoCommandOther(TIdContext& context, TIdHTTPRequestInfo& request,
                                         TIdHTTPResponseInfo& response) {
  if (OnCommandOther) OnCommandOther(context, request, response);
}

void TIdCustomHTTPServer::DoCommandError(TIdContext& context, TIdHTTPRequestInfo& request,
                                         TIdHTTPResponseInfo& response, std::exception_ptr error) {
  if (OnCommandError) OnCommandError(context, request, response, std::move(error));
}

bool TIdCustomHTTPServer::DoHeadersAvailable(TIdContext& context, const std::u16string& uri,
                                             const net::TIdHeaderList& headers) {
  bool accept = true;
  if (OnHeadersAvailable) OnHeadersAvailable(context, uri, headers, accept);
  return accept;
}

void TIdCustomHTTPServer::DoHeadersBlocked(TIdContext& context, const net::TIdHeaderList& headers, int& responseNo,
                                           std::u16string& responseText, std::u16string& contentText) {
  if (OnHeadersBlocked) OnHeadersBlocked(context, headers, responseNo, responseText, contentText);
}

bool TIdCustomHTTPServer::DoHeaderExpectations(TIdContext& context, const std::u16string& expectations) {
  bool continueProcessing = SameTextAscii(expectations, u"100-continue");
  if (OnHeaderExpectations) OnHeaderExpectations(context, expectations, continueProcessing);
  return continueProcessing;
}

std::unique_ptr<TStream> TIdCustomHTTPServer::CreatePostStream(TIdContext& context, const net::TIdHeaderList& headers) {
  std::unique_ptr<TStream> stream;
  if (OnCreatePostStream) OnCreatePostStream(context, headers, stream);
  if (!stream) stream = std::make_unique<TMemoryStream>();
  return stream;
}

void TIdCustomHTTPServer::DoneWithPostStream(TIdContext& context, TIdHTTPRequestInfo& request) {
  bool keepStream = false;
  if (OnDoneWithPostStream) OnDoneWithPostStream(context, request, keepStream);
  if (!keepStream) request.SetPostStream(nullptr);
}

void TIdCustomHTTPServer::DoRequestRefused(TIdContext& context, int responseNo, const std::u16string& reason) {
  if (OnRequestRefused) OnRequestRefused(context, responseNo, reason);
}

bool TIdCustomHTTPServer::DoParseAuthentication(TIdContext& context, const std::u16string& authType,
                                                const std::u16string& authData, std::u16string& username,
                                                std::u16string& password) {
  bool handled = false;
  if (OnParseAuthentication) OnParseAuthentication(context, authType, authData, username, password, handled);
  return handled;
}

void ConfigureIdHTTPServer1(TIdHTTPServer& server) {
  server.SetName(u"IdHTTPServer1");
  server.SetDefaultPort(8888);
  server.SetListenQueue(15);
  server.SetSessionState(true);
  server.SetAutoStartSession(true);
  server.SetSessionIDCookieName(u"SESSIONIDS");
  server.SetSessionTimeOut(0);
}

}  // namespace tessarine::server
