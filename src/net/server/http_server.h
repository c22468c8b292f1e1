#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "net/server/http_request_info.h"
#include "net/server/http_response_info.h"
#include "net/server/http_session.h"
#include "net/server/tcp_server.h"
#include "net/server/waiting_connections.h"

namespace tessarine::server {

// An HTTP/1.1 server: each connection is served by ServeConnection on its worker thread. Events are set
// while the server is off; the command events run on worker threads, several at once, without a lock.
//
// A connection whose request has not fully arrived (request line, headers and body) is waiting: it has
// RequestTimeout from its accept for the whole request, and at most MaxWaitingConnections wait at once. The
// next connection at that bound closes the one that has waited longest, as does an accept that finds no
// descriptor left, so connections that never send a request cannot keep out one that does.
class TIdCustomHTTPServer : public TIdCustomTCPServer {
 public:
  using TIdHTTPCommandEvent = std::function<void(TIdContext&, TIdHTTPRequestInfo&, TIdHTTPResponseInfo&)>;
  using TIdHTTPCommandError =
      std::function<void(TIdContext&, TIdHTTPRequestInfo&, TIdHTTPResponseInfo&, std::exception_ptr)>;
  // Sets accept to false to refuse the request.
  using TIdHTTPHeadersAvailableEvent =
      std::function<void(TIdContext&, const std::u16string& uri, const net::TIdHeaderList& headers, bool& accept)>;
  using TIdHTTPHeadersBlockedEvent = std::function<void(TIdContext&, const net::TIdHeaderList& headers, int& responseNo,
                                                        std::u16string& responseText, std::u16string& contentText)>;
  using TIdHTTPHeaderExpectationsEvent =
      std::function<void(TIdContext&, const std::u16string& expectations, bool& continueProcessing)>;
  using TIdHTTPCreatePostStream =
      std::function<void(TIdContext&, const net::TIdHeaderList& headers, std::unique_ptr<TStream>& postStream)>;
  // Sets keepStream to true to take the body stream over (ReleasePostStream).
  using TIdHTTPDoneWithPostStream = std::function<void(TIdContext&, TIdHTTPRequestInfo&, bool& keepStream)>;
  using TIdHTTPParseAuthenticationEvent =
      std::function<void(TIdContext&, const std::u16string& authType, const std::u16string& authData,
                         std::u16string& username, std::u16string& password, bool& handled)>;
  using TIdHTTPInvalidSessionEvent = std::function<void(TIdContext&, TIdHTTPRequestInfo&, TIdHTTPResponseInfo&,
                                                        bool& continueProcessing, const std::u16string& sessionID)>;
  using TIdHTTPCreateSession = std::function<void(TIdContext&, std::shared_ptr<TIdHTTPSession>& session)>;
  using TIdHTTPSessionEvent = std::function<void(TIdHTTPSession&)>;
  // reason names the limit in a few words ("request line longer than 16384 bytes"), never the request's text.
  using TIdHTTPRequestRefusedEvent = std::function<void(TIdContext&, int responseNo, const std::u16string& reason)>;

  static constexpr int kDefaultMaximumHeaderLineCount = 1024;
  // Far beyond what a client that sends its request at once needs, and what keeps an idle one a worker.
  static constexpr int kDefaultRequestTimeout = 30000;
  // Well below a desktop session's 1024 open files, and far more than the requests that arrive at once.
  static constexpr int kDefaultMaxWaitingConnections = 256;

  TIdCustomHTTPServer();
  ~TIdCustomHTTPServer() override;

  // Serves every request of one connection and disconnects it; returns false (the task does not run again).
  bool ServeConnection(TIdContext& context);

  bool KeepAlive() const { return m_keepAlive; }
  void SetKeepAlive(bool keepAlive) { m_keepAlive = keepAlive; }
  bool ParseParams() const { return m_parseParams; }
  void SetParseParams(bool parseParams) { m_parseParams = parseParams; }
  const std::u16string& ServerSoftware() const { return m_serverSoftware; }
  void SetServerSoftware(std::u16string software) { m_serverSoftware = std::move(software); }
  int MaximumHeaderLineCount() const { return m_maximumHeaderLineCount; }
  void SetMaximumHeaderLineCount(int count) { m_maximumHeaderLineCount = count; }
  // Milliseconds a connection has for its request, from its accept (from the previous answer on a connection
  // kept alive); past it the connection is closed without an answer. 0: no limit.
  int RequestTimeout() const { return m_requestTimeout; }
  void SetRequestTimeout(int milliseconds) { m_requestTimeout = milliseconds; }
  // 0: no bound.
  int MaxWaitingConnections() const { return static_cast<int>(m_waiting.bound()); }
  void SetMaxWaitingConnections(int count) { m_waiting.setBound(count > 0 ? static_cast<size_t>(count) : 0); }
  // Connections waiting for their request now.
  int WaitingConnectionCount() const { return static_cast<int>(m_waiting.count()); }

  // Sessions: start-up switches SessionState off whenever SessionTimeOut is 0.
  bool SessionState() const { return m_sessionState; }
  // Raises "Cannot change session state when the server is active." while active.
  void SetSessionState(bool sessionState);
  bool AutoStartSession() const { return m_autoStartSession; }
  void SetAutoStartSession(bool autoStart) { m_autoStartSession = autoStart; }
  const std::u16string& SessionIDCookieName() const { return m_sessionIDCookieName; }
  // Raises while active, and "Invalid cookie name" for a name that is empty after trimming.
  void SetSessionIDCookieName(std::u16string_view name);
  // Milliseconds; 0: sessions off.
  int SessionTimeOut() const { return m_sessionTimeOut; }
  void SetSessionTimeOut(int milliseconds) { m_sessionTimeOut = milliseconds; }
  // nullptr until start-up creates the implicit list. A list set here is not owned.
  TIdHTTPDefaultSessionList* SessionList() const { return m_sessionList; }
  // Raises "Cannot change session list when the server is active." while active.
  void SetSessionList(TIdHTTPDefaultSessionList* list);

  TIdHTTPCommandEvent OnCommandGet;
  TIdHTTPCommandEvent OnCommandOther;
  TIdHTTPCommandError OnCommandError;
  TIdHTTPHeadersAvailableEvent OnHeadersAvailable;
  TIdHTTPHeadersBlockedEvent OnHeadersBlocked;
  TIdHTTPHeaderExpectationsEvent OnHeaderExpectations;
  TIdHTTPCreatePostStream OnCreatePostStream;
  TIdHTTPDoneWithPostStream OnDoneWithPostStream;
  TIdHTTPParseAuthenticationEvent OnParseAuthentication;
  TIdHTTPInvalidSessionEvent OnInvalidSession;
  TIdHTTPCreateSession OnCreateSession;
  TIdHTTPSessionEvent OnSessionStart;
  TIdHTTPSessionEvent OnSessionEnd;
  // Raised on the worker thread before the refusal of a request over the reader's limits is written: 414 for
  // a request line too long, 431 for a header line too long or too many header lines.
  TIdHTTPRequestRefusedEvent OnRequestRefused;

 protected:
  bool DoExecute(TIdContext& context) override;
  // Runs on the listener thread: the new connection starts waiting for its request.
  void ContextCreated(TIdContext& context) override;
  std::unique_ptr<TIdServerContext> CreateContext(std::unique_ptr<net::TIdTCPConnection> connection,
                                                  TIdYarn* yarn) override;
  // Closes the connection that has waited longest for its request.
  bool MakeRoomForAccept() override;
  void Startup() override;
  void Shutdown() override;

  virtual void DoCommandGet(TIdContext& context, TIdHTTPRequestInfo& request, TIdHTTPResponseInfo& response);
  virtual void DoCommandOther(TIdContext& context, TIdHTTPRequestInfo& request, TIdHTTPResponseInfo& response);
  virtual void DoCommandError(TIdContext& context, TIdHTTPRequestInfo& request, TIdHTTPResponseInfo& response,
                              std::exception_ptr error);
  virtual bool DoHeadersAvailable(TIdContext& context, const std::u16string& uri, const net::TIdHeaderList& headers);
  virtual void DoHeadersBlocked(TIdContext& context, const net::TIdHeaderList& headers, int& responseNo,
                                std::u16string& responseText, std::u16string& contentText);
  // Accepts exactly "100-continue" (letter case ignored) unless OnHeaderExpectations decides.
  virtual bool DoHeaderExpectations(TIdContext& context, const std::u16string& expectations);
  virtual std::unique_ptr<TStream> CreatePostStream(TIdContext& context, const net::TIdHeaderList& headers);
  virtual void DoneWithPostStream(TIdContext& context, TIdHTTPRequestInfo& request);
  virtual bool DoParseAuthentication(TIdContext& context, const std::u16string& authType,
                                     const std::u16string& authData, std::u16string& username,
                                     std::u16string& password);
  virtual void DoRequestRefused(TIdContext& context, int responseNo, const std::u16string& reason);

 private:
  // One request of the connection; true when the connection stays open for another.
  bool serveRequest(TIdContext& context, bool first);
  // The request's time starts and the connection is listed as waiting; ended once the request has arrived.
  void beginWaiting(TIdContext& context);
  void endWaiting(TIdContext& context);
  // The answer to a request over a limit of the reader; the rest of the request is not parsed.
  void refuseOverLimit(TIdContext& context, TIdHTTPResponseInfo& response, int responseNo,
                       const std::u16string& reason);
  // Reads the body; false when the request was refused (the answer is written).
  bool readBody(TIdContext& context, TIdHTTPRequestInfo& request, TIdHTTPResponseInfo& response);
  void parseAuthorization(TIdContext& context, TIdHTTPRequestInfo& request);
  // False when the request must not go on.
  bool getSessionFromCookie(TIdContext& context, TIdHTTPRequestInfo& request, TIdHTTPResponseInfo& response);
  void dispatch(TIdContext& context, TIdHTTPRequestInfo& request, TIdHTTPResponseInfo& response);
  static void completeAnswer(net::TIdIOHandler& io, TIdHTTPResponseInfo& response);

  bool m_keepAlive = false;
  bool m_parseParams = true;
  std::u16string m_serverSoftware;
  int m_maximumHeaderLineCount = kDefaultMaximumHeaderLineCount;
  int m_requestTimeout = kDefaultRequestTimeout;
  TWaitingConnections m_waiting{kDefaultMaxWaitingConnections};
  bool m_sessionState = false;
  bool m_autoStartSession = false;
  std::u16string m_sessionIDCookieName = u"IDHTTPSESSIONID";
  int m_sessionTimeOut = 0;
  TIdHTTPDefaultSessionList* m_sessionList = nullptr;
  std::unique_ptr<TIdHTTPDefaultSessionList> m_implicitSessionList;
  std::unique_ptr<TIdHTTPSessionCleanerThread> m_sessionCleaner;
};

// The published class; the main window's IdHTTPServer1 (DefaultPort 8888 there).
class TIdHTTPServer : public TIdCustomHTTPServer {
 public:
  using TIdCustomHTTPServer::TIdCustomHTTPServer;
};

// The main window's design-time settings of IdHTTPServer1: name, DefaultPort 8888, ListenQueue 15, sessions
// configured on with the cookie "SESSIONIDS" and time-out 0 (so start-up switches them off). The handler is
// the caller's to mount.
void ConfigureIdHTTPServer1(TIdHTTPServer& server);

}  // namespace tessarine::server
