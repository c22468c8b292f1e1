#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "net/client/ssl_channel.h"

namespace tessarine::client {

class TIdSSLContext;
class TIdSSLSocket;

// What a failed TLS read or write leaves for CheckRawError; captured at once, because the session
// may be gone by the time CheckRawError runs.
struct TlsFailure {
  int error = 0;             // SSL_get_error
  int result = 0;            // the call's return value
  int systemError = 0;       // errno of the failed system call
  unsigned long queued = 0;  // OpenSSL's first queued error, 0 when none
  std::string detail;        // its text (with the verification result when that failed)
  bool aborted = false;      // the socket was closed under the call
};

// TLS through OpenSSL: TLS 1.2 or 1.3 with OpenSSL's default ciphers, the peer's chain checked against
// the system's trust store (SSL_CERT_FILE and SSL_CERT_DIR are honoured) and its name against Host,
// the server name always sent as Host is written. Every connection builds a new context and session.
//
// Close may come from another thread while the owner is blocked in a handshake, read or write: it
// closes the socket, which wakes the owner, and the session is freed by whichever of the two lets go
// of it last, so the owner's call never runs on a freed or concurrently used session.
class TIdSSLIOHandlerSocketOpenSSL : public TIdSSLIOHandlerSocketBase {
 public:
  TIdSSLIOHandlerSocketOpenSSL();
  ~TIdSSLIOHandlerSocketOpenSSL() override;

  // Switching an open connection to pass-through lifts the socket time-outs; switching an open plain
  // connection to TLS runs the handshake on it.
  void SetPassThrough(bool passThrough) override;

  ptrdiff_t ReceiveRaw(uint8_t* buffer, size_t size) override;
  ptrdiff_t SendRaw(const uint8_t* data, size_t size) override;
  int CheckRawError(ptrdiff_t result) override;
  [[noreturn]] void RaiseError(int errorCode) override;
  // At once when decrypted bytes are pending in the session, else waits on the socket.
  bool Readable(int msec = -1) override;
  // The TCP connect, then a fresh context and, unless PassThrough, the handshake.
  void ConnectToPeer() override;
  // Safe to call from another thread than the owner's.
  void Close() override;
  // Drops whatever TLS state a previous connection left, so every connection starts afresh.
  void Open() override;

 private:
  std::shared_ptr<TIdSSLSocket> session() const;
  void releaseTLS();
  void startTLS();
  void handshake();
  // The socket time-out of every TLS call: the read limit, or 30 s without one.
  int socketTimeout() const;
  // Reads the failure of the call that just returned result on the owner's thread.
  TlsFailure captureFailure(TIdSSLSocket& session, int result, int systemError);

  // Guards the two pointers against a Close from another thread.
  mutable std::mutex m_lock;
  std::shared_ptr<TIdSSLContext> m_sslContext;
  std::shared_ptr<TIdSSLSocket> m_sslSocket;
  TlsFailure m_lastFailure;
};

}  // namespace tessarine::client
