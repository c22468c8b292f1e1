#pragma once

#include <string>

#include "net/io_handler_stack.h"

namespace tessarine::client {

// Placeholder until the TLS channel lands: plain TCP only.
class TIdSSLIOHandlerSocketBase : public net::TIdIOHandlerStack {
 public:
  bool PassThrough() const { return m_passThrough; }
  virtual void SetPassThrough(bool passThrough) { m_passThrough = passThrough; }
  const std::u16string& URIToCheck() const { return m_uriToCheck; }
  void SetURIToCheck(std::u16string uri) { m_uriToCheck = std::move(uri); }

 private:
  bool m_passThrough = true;
  std::u16string m_uriToCheck;
};

class TIdSSLIOHandlerSocketOpenSSL : public TIdSSLIOHandlerSocketBase {};

}  // namespace tessarine::client
