#pragma once

#include <memory>
#include <string>

#include "net/client/ssl_exceptions.h"
#include "net/io_handler_stack.h"

namespace tessarine::client {

// A connection object that can carry TLS. PassThrough true means plain TCP; the client sets it before
// every new connection and never changes it on an open one.
class TIdSSLIOHandlerSocketBase : public net::TIdIOHandlerStack {
 public:
  bool PassThrough() const { return m_passThrough; }
  virtual void SetPassThrough(bool passThrough) { m_passThrough = passThrough; }
  // The full URI of the current request. Kept for the caller; the certificate is checked against Host.
  const std::u16string& URIToCheck() const { return m_uriToCheck; }
  void SetURIToCheck(std::u16string uri) { m_uriToCheck = std::move(uri); }

 private:
  bool m_passThrough = true;
  std::u16string m_uriToCheck;
};

// The TLS connection object of this platform: OpenSSL (ssl_openssl.cpp) or Schannel (ssl_schannel.cpp).
std::unique_ptr<TIdSSLIOHandlerSocketBase> NewTlsIOHandler();

}  // namespace tessarine::client
