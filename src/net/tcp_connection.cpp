#include "net/tcp_connection.h"

#include "net/exceptions.h"
#include "net/io_handler_stack.h"

namespace tessarine::net {

TIdTCPConnection::~TIdTCPConnection() {
  if (m_ioHandler != nullptr) m_ioHandler->Close();
  releaseHandler();
}

void TIdTCPConnection::releaseHandler() {
  if (m_managedIOHandler) delete m_ioHandler;
  m_ioHandler = nullptr;
  m_managedIOHandler = false;
}

TIdIOHandlerSocket* TIdTCPConnection::Socket() const { return dynamic_cast<TIdIOHandlerSocket*>(m_ioHandler); }

void TIdTCPConnection::SetIOHandler(TIdIOHandler* handler) {
  if (handler == m_ioHandler) {
    m_managedIOHandler = false;
    return;
  }
  releaseHandler();
  m_ioHandler = handler;
}

void TIdTCPConnection::SetIOHandler(std::unique_ptr<TIdIOHandler> handler) {
  if (handler.get() != m_ioHandler) releaseHandler();
  m_ioHandler = handler.release();
  m_managedIOHandler = m_ioHandler != nullptr;
}

void TIdTCPConnection::CreateIOHandler() {
  if (m_ioHandler == nullptr) SetIOHandler(std::make_unique<TIdIOHandlerStack>());
}

bool TIdTCPConnection::Connected() { return m_ioHandler != nullptr && m_ioHandler->Connected(); }

void TIdTCPConnection::Disconnect(bool notifyPeer) {
  if (notifyPeer) {
    try {
      if (Connected()) DisconnectNotifyPeer();
    } catch (const EIdException&) {
      // A farewell that cannot be delivered changes nothing: the connection closes either way.
    }
  }
  if (m_ioHandler != nullptr && m_ioHandler->Opened()) {
    m_ioHandler->Close();
    if (m_onDisconnected) m_onDisconnected();
  }
}

}  // namespace tessarine::net
