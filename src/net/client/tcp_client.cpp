#include "net/client/tcp_client.h"

#include "net/exceptions.h"
#include "net/io_handler_socket.h"

namespace tessarine::client {

void TIdTCPClientCustom::Connect() {
  if (Connected()) throw net::EIdException("Already connected.");
  if (m_host.empty()) throw net::EIdException("A Host is required");
  if (m_port == 0) throw net::EIdException("A Port is required");
  CreateIOHandler();
  net::TIdIOHandler* handler = IOHandler();
  handler->SetHost(m_host);
  handler->SetPort(m_port);
  handler->SetConnectTimeout(m_connectTimeout);
  handler->SetReadTimeout(m_readTimeout);
  if (net::TIdIOHandlerSocket* socket = Socket()) socket->SetIPVersion(m_ipVersion);
  handler->Open();
}

}  // namespace tessarine::client
