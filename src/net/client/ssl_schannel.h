#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "net/client/ssl_channel.h"

namespace tessarine::client {

class TSchannelSession;

// What a failed TLS read or write leaves for CheckRawError.
struct TSchannelFailure {
  int socketError = 0;     // a Windows Sockets code, 0 when the failure was TLS's own
  std::string detail;      // the TLS failure's text
  bool truncated = false;  // the connection ended without the peer's close_notify
  bool aborted = false;    // the socket was closed under the call
};

// TLS through Schannel: TLS 1.2 or 1.3, the server name always sent as Host is written. Schannel is told to leave
// the certificate to the program, which checks it itself after the handshake: the chain is built for server
// authentication (CertGetCertificateChain) and refused on any trust error (Wine's policy check alone lets a partial
// chain through), then the SSL policy checks it against Host. The certificates of the PEM file SSL_CERT_FILE names
// are trusted besides the system's roots. Every connection builds a new credential and context.
//
// Close may come from another thread while the owner is blocked in a handshake, read or write: it closes the
// socket, which wakes the owner, and the session is freed by whichever of the two lets go of it last.
class TIdSSLIOHandlerSocketSchannel : public TIdSSLIOHandlerSocketBase {
 public:
  TIdSSLIOHandlerSocketSchannel();
  ~TIdSSLIOHandlerSocketSchannel() override;

  void SetPassThrough(bool passThrough) override;
  ptrdiff_t ReceiveRaw(uint8_t* buffer, size_t size) override;
  ptrdiff_t SendRaw(const uint8_t* data, size_t size) override;
  int CheckRawError(ptrdiff_t result) override;
  [[noreturn]] void RaiseError(int errorCode) override;
  bool Readable(int msec = -1) override;
  void ConnectToPeer() override;
  void Close() override;
  void Open() override;

 private:
  std::shared_ptr<TSchannelSession> session() const;
  void releaseTLS();
  void startTLS();
  int socketTimeout() const;
  void noteFailure(TSchannelFailure failure);

  mutable std::mutex m_lock;
  std::shared_ptr<TSchannelSession> m_session;
  TSchannelFailure m_lastFailure;
};

}  // namespace tessarine::client
