#pragma once

#include <string>

#include "net/ip_version.h"
#include "net/tcp_connection.h"

namespace tessarine::client {

// A TCP connection that opens itself to Host and Port through its I/O handler.
class TIdTCPClientCustom : public net::TIdTCPConnection {
 public:
  const std::u16string& Host() const { return m_host; }
  void SetHost(std::u16string host) { m_host = std::move(host); }
  int Port() const { return m_port; }
  void SetPort(int port) { m_port = port; }
  net::TIdIPVersion IPVersion() const { return m_ipVersion; }
  void SetIPVersion(net::TIdIPVersion version) { m_ipVersion = version; }
  // Milliseconds; 0 connects without a limit of its own.
  int ConnectTimeout() const { return m_connectTimeout; }
  void SetConnectTimeout(int timeout) { m_connectTimeout = timeout; }
  // Milliseconds; -1 and 0 wait without limit.
  int ReadTimeout() const { return m_readTimeout; }
  void SetReadTimeout(int timeout) { m_readTimeout = timeout; }

  // Hands Host, Port, IPVersion and the limits to the I/O handler (a plain socket one when there is none)
  // and opens it. Raises "A Host is required", "A Port is required" or "Already connected.".
  void Connect();

 private:
  std::u16string m_host;
  int m_port = 0;
  net::TIdIPVersion m_ipVersion = net::Id_IPv4;
  int m_connectTimeout = 0;
  int m_readTimeout = -1;
};

}  // namespace tessarine::client
