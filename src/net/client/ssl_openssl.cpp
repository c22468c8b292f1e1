#include "net/client/ssl_openssl.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>

#include "common/text.h"
#include "net/socket_stack.h"
#include "net/socket_stack_posix.h"

namespace tessarine::client {

namespace {

constexpr int kDefaultTimeoutMs = 30000;

// Set by the socket BIO when a receive or send ran past SO_RCVTIMEO/SO_SNDTIMEO. Linux reports that as
// EAGAIN, which OpenSSL would take for "try again" and the retry loops would repeat for ever.
thread_local bool t_socketTimedOut = false;
// Set while a session says goodbye on close: close_notify must never wait for a peer that stopped reading.
thread_local bool t_sendWithoutWaiting = false;

// The connection's deadline and socket time-out while a session call runs on this thread. OpenSSL reads a record
// in as many receives as it takes, each one allowed the socket's full time-out, so a peer sending a byte now and
// then would hold one call for ever; the socket BIO ends its receives at the deadline instead.
struct ReadLimit {
  net::TIdIOHandler::TDeadline deadline;
  int socketTimeoutMs = 0;
};
thread_local ReadLimit t_readLimit;

// Installs the handler's read limit for the session calls of one scope.
class ReadLimitScope {
 public:
  ReadLimitScope(const net::TIdIOHandler::TDeadline& deadline, int socketTimeoutMs) : m_saved(t_readLimit) {
    t_readLimit = {deadline, socketTimeoutMs};
  }
  ~ReadLimitScope() { t_readLimit = m_saved; }
  ReadLimitScope(const ReadLimitScope&) = delete;
  ReadLimitScope& operator=(const ReadLimitScope&) = delete;

 private:
  ReadLimit m_saved;
};

// False when the deadline passes before the socket has anything to read; waits only when the deadline comes
// before the socket's own time-out would.
bool ReadableBeforeDeadline(int fd) {
  if (!t_readLimit.deadline) return true;
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(*t_readLimit.deadline - std::chrono::steady_clock::now()).count();
  if (left <= 0) return false;
  if (left >= t_readLimit.socketTimeoutMs) return true;
  pollfd entry{fd, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&entry, 1, static_cast<int>(left));
  } while (ready < 0 && errno == EINTR);
  return ready != 0;
}

int SocketOf(BIO* bio) { return static_cast<int>(BIO_ctrl(bio, BIO_C_GET_FD, 0, nullptr)); }

void NoteSocketFailure(ssize_t result) {
  if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    t_socketTimedOut = true;
    errno = ETIMEDOUT;
  }
}

int SocketRead(BIO* bio, char* out, int size) {
  BIO_clear_retry_flags(bio);
  if (out == nullptr || size <= 0) return 0;
  if (!ReadableBeforeDeadline(SocketOf(bio))) {
    // Reported as the socket's own time-out would be.
    errno = EAGAIN;
    NoteSocketFailure(-1);
    return -1;
  }
  ssize_t n;
  do {
    n = ::recv(SocketOf(bio), out, static_cast<size_t>(size), 0);
  } while (n < 0 && errno == EINTR);
  // What the stock socket BIO does: OpenSSL asks for it to tell a truncated stream from an error.
  if (n == 0) BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
  NoteSocketFailure(n);
  return static_cast<int>(n);
}

int SocketWrite(BIO* bio, const char* in, int size) {
  BIO_clear_retry_flags(bio);
  if (in == nullptr || size <= 0) return 0;
  // A peer that has gone must come back as EPIPE, never as SIGPIPE.
  const int flags = MSG_NOSIGNAL | (t_sendWithoutWaiting ? MSG_DONTWAIT : 0);
  ssize_t n;
  do {
    n = ::send(SocketOf(bio), in, static_cast<size_t>(size), flags);
  } while (n < 0 && errno == EINTR);
  NoteSocketFailure(n);
  return static_cast<int>(n);
}

// The stock socket BIO with our own receive and send; descriptor handling stays OpenSSL's.
BIO_METHOD* CreateSocketMethod() {
  const int index = BIO_get_new_index();
  if (index == -1) return nullptr;
  BIO_METHOD* method = BIO_meth_new(index | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "tessarine socket");
  if (method == nullptr) return nullptr;
  const BIO_METHOD* stock = BIO_s_socket();
  if (BIO_meth_set_read(method, SocketRead) != 1 || BIO_meth_set_write(method, SocketWrite) != 1 ||
      BIO_meth_set_ctrl(method, BIO_meth_get_ctrl(stock)) != 1 ||
      BIO_meth_set_create(method, BIO_meth_get_create(stock)) != 1 ||
      BIO_meth_set_destroy(method, BIO_meth_get_destroy(stock)) != 1) {
    BIO_meth_free(method);
    return nullptr;
  }
  return method;
}

std::mutex g_loadLock;
std::atomic<bool> g_loaded{false};
BIO_METHOD* g_socketMethod = nullptr;  // written once under g_loadLock, before g_loaded

// Once per process; a failed attempt is repeated by the next connection.
void LoadOpenSSL() {
  if (g_loaded.load(std::memory_order_acquire)) return;
  std::lock_guard lock(g_loadLock);
  if (g_loaded.load(std::memory_order_relaxed)) return;
  if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) != 1)
    throw EIdOSSLCouldNotLoadSSLLibrary();
  g_socketMethod = CreateSocketMethod();
  if (g_socketMethod == nullptr) throw EIdOSSLCouldNotLoadSSLLibrary();
  g_loaded.store(true, std::memory_order_release);
}

std::string ErrorText(unsigned long code) {
  char text[160] = {};
  ERR_error_string_n(code, text, sizeof(text));
  return text;
}

std::u16string WithDetail(std::u16string_view message, std::string_view detail) {
  // Reads and writes have no message of their own: their text is the detail alone.
  if (message.empty()) return Widen(detail);
  std::u16string text(message);
  text += u"\r\n";
  text += Widen(detail);
  return text;
}

// "message" CR LF the queued error, or the message alone when OpenSSL queued none.
template <typename E>
[[noreturn]] void RaiseContextError() {
  const unsigned long queued = ERR_get_error();
  ERR_clear_error();
  if (queued == 0) throw E();
  throw E(WithDetail(E().Message(), ErrorText(queued)));
}

// The error rules for a failed session call; E is the operation's own exception.
template <typename E>
[[noreturn]] void RaiseSSLError(std::u16string_view message, const TlsFailure& failure) {
  if (failure.error == SSL_ERROR_SSL || (failure.error == SSL_ERROR_SYSCALL && failure.queued != 0))
    throw EIdOSSLUnderlyingCryptoError(WithDetail(message, failure.detail));
  if (failure.error == SSL_ERROR_SYSCALL) {
    if (failure.result == 0 || failure.systemError == 0)
      throw E(WithDetail(message, "EOF was observed that violates the protocol"));
    net::GStack()->RaiseSocketError(net::WSErrorFromErrno(failure.systemError));
  }
  throw E(WithDetail(message, ErrorText(static_cast<unsigned long>(failure.error))));
}

void SetSocketTimeouts(int fd, int milliseconds) {
  timeval limit{};
  limit.tv_sec = milliseconds / 1000;
  limit.tv_usec = (milliseconds % 1000) * 1000;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit)) != 0 ||
      ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit)) != 0)
    net::GStack()->RaiseLastSocketError();
}

bool IsAddressLiteral(std::u16string_view host) {
  return net::TIdStack::IsIPv4Literal(host) || net::TIdStack::IsIPv6Literal(host);
}

}  // namespace

// One OpenSSL context, made for one connection.
class TIdSSLContext {
 public:
  TIdSSLContext() {
    LoadOpenSSL();
    const SSL_METHOD* method = TLS_client_method();
    if (method == nullptr) throw EIdOSSLGetMethodError();
    ERR_clear_error();
    m_context = SSL_CTX_new(method);
    if (m_context == nullptr) RaiseContextError<EIdOSSLCreatingContextError>();
    try {
      // TLS 1.2 and 1.3 only, with OpenSSL's default ciphers: the older versions are broken.
      if (SSL_CTX_set_min_proto_version(m_context, TLS1_2_VERSION) != 1)
        RaiseContextError<EIdOSSLCreatingContextError>();
      SSL_CTX_set_mode(m_context, SSL_MODE_AUTO_RETRY);
      // The system's trust store; SSL_CERT_FILE and SSL_CERT_DIR override it.
      if (SSL_CTX_set_default_verify_paths(m_context) != 1) RaiseContextError<EIdOSSLCreatingContextError>();
      SSL_CTX_set_verify(m_context, SSL_VERIFY_PEER, nullptr);
    } catch (...) {
      SSL_CTX_free(m_context);
      throw;
    }
  }
  ~TIdSSLContext() { SSL_CTX_free(m_context); }
  TIdSSLContext(const TIdSSLContext&) = delete;
  TIdSSLContext& operator=(const TIdSSLContext&) = delete;

  SSL_CTX* Context() const { return m_context; }

 private:
  SSL_CTX* m_context = nullptr;
};

// One TLS session over one socket. It keeps the descriptor open for as long as it exists, so the
// descriptor number cannot be handed to another socket while a call of the session may still use it.
class TIdSSLSocket {
 public:
  TIdSSLSocket(std::shared_ptr<TIdSSLContext> context, net::TIdSocketUse socket, std::string hostName)
      : m_context(std::move(context)), m_socket(std::move(socket)), m_hostName(std::move(hostName)) {
    ERR_clear_error();
    m_ssl = SSL_new(m_context->Context());
    if (m_ssl == nullptr) throw EIdOSSLCreatingSessionError();
    try {
      if (SSL_set_ex_data(m_ssl, 0, this) != 1) throw EIdOSSLDataBindingError();
      BIO* bio = BIO_new(g_socketMethod);
      if (bio == nullptr) throw EIdOSSLFDSetError();
      BIO_int_ctrl(bio, BIO_C_SET_FD, BIO_NOCLOSE, m_socket->Fd());
      SSL_set_bio(m_ssl, bio, bio);
      // The server name goes out as written, also for an address.
      SSL_ctrl(m_ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name, const_cast<char*>(m_hostName.c_str()));
      // The name the certificate must carry: an address literal as an IP entry, anything else as a DNS name.
      bool named;
      if (IsAddressLiteral(FromUtf8(m_hostName))) {
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_ssl), m_hostName.c_str()) == 1;
      } else {
        SSL_set_hostflags(m_ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        named = SSL_set1_host(m_ssl, m_hostName.c_str()) == 1;
      }
      if (!named) RaiseContextError<EIdOSSLCreatingSessionError>();
    } catch (...) {
      SSL_free(m_ssl);
      ERR_clear_error();
      throw;
    }
  }

  ~TIdSSLSocket() {
    // OpenSSL forbids the goodbye after a fatal error or before the handshake finished.
    if (!m_failed && SSL_is_init_finished(m_ssl)) {
      t_sendWithoutWaiting = true;
      SSL_shutdown(m_ssl);
      t_sendWithoutWaiting = false;
    }
    SSL_free(m_ssl);
    // Nothing of this session may be left in the thread's error queue for its next call to find.
    ERR_clear_error();
  }
  TIdSSLSocket(const TIdSSLSocket&) = delete;
  TIdSSLSocket& operator=(const TIdSSLSocket&) = delete;

  SSL* Ssl() const { return m_ssl; }
  const std::string& HostName() const { return m_hostName; }
  // After SSL_ERROR_SSL or SSL_ERROR_SYSCALL the session may not be shut down.
  void MarkFailed() { m_failed = true; }

 private:
  std::shared_ptr<TIdSSLContext> m_context;  // freed after the session
  net::TIdSocketUse m_socket;                // closed after the session
  std::string m_hostName;
  SSL* m_ssl = nullptr;
  bool m_failed = false;
};

std::unique_ptr<TIdSSLIOHandlerSocketBase> NewTlsIOHandler() {
  return std::make_unique<TIdSSLIOHandlerSocketOpenSSL>();
}

TIdSSLIOHandlerSocketOpenSSL::TIdSSLIOHandlerSocketOpenSSL() = default;

TIdSSLIOHandlerSocketOpenSSL::~TIdSSLIOHandlerSocketOpenSSL() = default;

std::shared_ptr<TIdSSLSocket> TIdSSLIOHandlerSocketOpenSSL::session() const {
  std::lock_guard lock(m_lock);
  return m_sslSocket;
}

void TIdSSLIOHandlerSocketOpenSSL::releaseTLS() {
  std::shared_ptr<TIdSSLSocket> session;
  std::shared_ptr<TIdSSLContext> context;
  {
    std::lock_guard lock(m_lock);
    session = std::move(m_sslSocket);
    context = std::move(m_sslContext);
  }
  // Frees the session here (SSL_shutdown, SSL_free, then the context) unless the owner is inside a
  // call on it; then the owner frees it as that call returns.
}

void TIdSSLIOHandlerSocketOpenSSL::SetPassThrough(bool passThrough) {
  const bool changed = passThrough != PassThrough();
  TIdSSLIOHandlerSocketBase::SetPassThrough(passThrough);
  const net::TIdSocketUse socket = Binding() != nullptr ? Binding()->Use() : nullptr;
  if (!changed || !socket || !Opened()) return;
  if (passThrough) {
    SetSocketTimeouts(socket->Fd(), 0);
  } else if (!session()) {
    startTLS();
  }
}

void TIdSSLIOHandlerSocketOpenSSL::Open() {
  releaseTLS();
  TIdSSLIOHandlerSocketBase::Open();
}

void TIdSSLIOHandlerSocketOpenSSL::Close() {
  // The session goes before the socket, so that a session nobody is using still says goodbye;
  // an owner blocked in a call is woken by the socket's close and frees the session itself.
  releaseTLS();
  TIdSSLIOHandlerSocketBase::Close();
}

void TIdSSLIOHandlerSocketOpenSSL::ConnectToPeer() {
  TIdSSLIOHandlerSocketBase::ConnectToPeer();
  startTLS();
}

void TIdSSLIOHandlerSocketOpenSSL::startTLS() {
  // A plain connection needs no context: making one would load the trust store for every engine call.
  if (PassThrough()) return;
  bool haveContext;
  {
    std::lock_guard lock(m_lock);
    haveContext = m_sslContext != nullptr;
  }
  if (!haveContext) {
    auto context = std::make_shared<TIdSSLContext>();
    std::lock_guard lock(m_lock);
    m_sslContext = std::move(context);
  }
  handshake();
}

int TIdSSLIOHandlerSocketOpenSSL::socketTimeout() const {
  return ReadTimeout() > 0 ? ReadTimeout() : kDefaultTimeoutMs;
}

void TIdSSLIOHandlerSocketOpenSSL::handshake() {
  // Without a name only the chain would be checked, and any certificate a trusted authority signed would do.
  if (Host().empty()) {
    throw EIdOSSLConnectError(WithDetail(EIdOSSLConnectError().Message(), "no host name to check the certificate for"));
  }
  const net::TIdSocketUse socket = Binding() != nullptr ? Binding()->Use() : nullptr;
  if (!socket) net::GStack()->RaiseSocketError(net::Id_WSAENOTSOCK);
  // Every TLS call on the socket, the handshake included, gives up after this long without progress;
  // the wait for the first bytes of a record is Readable's.
  SetSocketTimeouts(socket->Fd(), socketTimeout());

  std::shared_ptr<TIdSSLContext> context;
  {
    std::lock_guard lock(m_lock);
    context = m_sslContext;
  }
  if (!context) net::GStack()->RaiseSocketError(net::Id_WSAENOTSOCK);
  auto tls = std::make_shared<TIdSSLSocket>(context, socket, ToUtf8(Host()));
  {
    std::lock_guard lock(m_lock);
    // A Close from another thread got here first.
    if (m_sslContext != context) net::GStack()->RaiseSocketError(net::Id_WSAENOTSOCK);
    m_sslSocket = tls;
  }

  ERR_clear_error();
  t_socketTimedOut = false;
  const ReadLimitScope limit(Deadline(), socketTimeout());
  const int result = SSL_connect(tls->Ssl());
  const int systemError = errno;
  if (result < 1) {
    const TlsFailure failure = captureFailure(*tls, result, systemError);
    RaiseSSLError<EIdOSSLConnectError>(EIdOSSLConnectError().Message(), failure);
  }
}

TlsFailure TIdSSLIOHandlerSocketOpenSSL::captureFailure(TIdSSLSocket& tls, int result, int systemError) {
  TlsFailure failure;
  failure.result = result;
  failure.systemError = systemError;
  failure.error = SSL_get_error(tls.Ssl(), result);
  failure.queued = ERR_get_error();
  if (t_socketTimedOut) {
    // Whatever OpenSSL made of it, the socket's time limit ran out.
    failure.error = SSL_ERROR_SYSCALL;
    failure.result = -1;
    failure.systemError = ETIMEDOUT;
    failure.queued = 0;
  } else if (failure.queued != 0 && ERR_GET_LIB(failure.queued) == ERR_LIB_SSL &&
             ERR_GET_REASON(failure.queued) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
    // OpenSSL 3 reports a connection that ended without close_notify as an error of its own; it is
    // the truncated stream that older versions reported as SSL_ERROR_SYSCALL with a result of 0.
    failure.error = SSL_ERROR_SYSCALL;
    failure.result = 0;
    failure.systemError = 0;
    failure.queued = 0;
  } else if (failure.queued != 0) {
    failure.detail = ErrorText(failure.queued);
    const long verified = SSL_get_verify_result(tls.Ssl());
    if (ERR_GET_REASON(failure.queued) == SSL_R_CERTIFICATE_VERIFY_FAILED && verified != X509_V_OK) {
      failure.detail += ": ";
      failure.detail += X509_verify_cert_error_string(verified);
    }
  }
  ERR_clear_error();
  if (failure.error == SSL_ERROR_SSL || failure.error == SSL_ERROR_SYSCALL) tls.MarkFailed();
  failure.aborted = Binding() == nullptr || !Binding()->HandleAllocated();
  return failure;
}

ptrdiff_t TIdSSLIOHandlerSocketOpenSSL::ReceiveRaw(uint8_t* buffer, size_t size) {
  if (PassThrough()) return TIdSSLIOHandlerSocketBase::ReceiveRaw(buffer, size);
  // Held for the whole call: a Close from another thread cannot free the session under it.
  const std::shared_ptr<TIdSSLSocket> tls = session();
  if (!tls) net::GStack()->RaiseSocketError(net::Id_WSAENOTSOCK);
  const int wanted = static_cast<int>(std::min<size_t>(size, INT_MAX));
  const ReadLimitScope limit(Deadline(), socketTimeout());
  while (true) {
    ERR_clear_error();
    t_socketTimedOut = false;
    const int result = SSL_read(tls->Ssl(), buffer, wanted);
    const int systemError = errno;
    if (result > 0) return result;
    const int error = SSL_get_error(tls->Ssl(), result);
    if ((error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) && !t_socketTimedOut) continue;
    // The peer's close_notify: an orderly end of stream.
    if (error == SSL_ERROR_ZERO_RETURN) return 0;
    m_lastFailure = captureFailure(*tls, result, systemError);
    return -1;
  }
}

ptrdiff_t TIdSSLIOHandlerSocketOpenSSL::SendRaw(const uint8_t* data, size_t size) {
  if (PassThrough()) return TIdSSLIOHandlerSocketBase::SendRaw(data, size);
  const std::shared_ptr<TIdSSLSocket> tls = session();
  if (!tls) net::GStack()->RaiseSocketError(net::Id_WSAENOTSOCK);
  size_t sent = 0;
  // A write may have to read first (a key update of the peer's, for one).
  const ReadLimitScope limit(Deadline(), socketTimeout());
  while (sent < size) {
    ERR_clear_error();
    t_socketTimedOut = false;
    const int result = SSL_write(tls->Ssl(), data + sent, static_cast<int>(std::min<size_t>(size - sent, INT_MAX)));
    const int systemError = errno;
    if (result > 0) {
      sent += static_cast<size_t>(result);
      continue;
    }
    const int error = SSL_get_error(tls->Ssl(), result);
    if ((error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) && !t_socketTimedOut) continue;
    m_lastFailure = captureFailure(*tls, result, systemError);
    return -1;
  }
  return static_cast<ptrdiff_t>(sent);
}

int TIdSSLIOHandlerSocketOpenSSL::CheckRawError(ptrdiff_t result) {
  if (PassThrough()) return TIdSSLIOHandlerSocketBase::CheckRawError(result);
  const TlsFailure& failure = m_lastFailure;
  // Closed under the call by this side: the connection was aborted, not broken by the peer.
  if (failure.aborted) return net::Id_WSAECONNABORTED;
  if (failure.error == SSL_ERROR_NONE) return 0;
  if (failure.error == SSL_ERROR_SYSCALL && failure.queued == 0 && failure.result != 0 && failure.systemError != 0) {
    // A socket error: the plain rules apply, so the time-out 10060 counts as a time-out.
    errno = failure.systemError;
    return TIdSSLIOHandlerSocketBase::CheckRawError(result);
  }
  RaiseSSLError<EIdOpenSSLAPISSLError>(u"", failure);
}

void TIdSSLIOHandlerSocketOpenSSL::RaiseError(int errorCode) {
  // The quiet codes, and the time-out, which a stalled write reports as the socket error it is.
  if (PassThrough() || net::IsConnectionEnd(errorCode) || errorCode == net::Id_WSAETIMEDOUT)
    TIdSSLIOHandlerSocketBase::RaiseError(errorCode);
  throw EIdOpenSSLAPISSLError(net::GStack()->WSTranslateSocketErrorMsg(errorCode));
}

bool TIdSSLIOHandlerSocketOpenSSL::Readable(int msec) {
  if (!PassThrough()) {
    const std::shared_ptr<TIdSSLSocket> tls = session();
    if (tls && SSL_pending(tls->Ssl()) > 0) return true;
  }
  return TIdSSLIOHandlerSocketBase::Readable(msec);
}

}  // namespace tessarine::client
