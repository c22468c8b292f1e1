#include "net/io_handler_socket.h"

#include "net/exceptions.h"

namespace tessarine::net {

TIdIOHandlerSocket::~TIdIOHandlerSocket() {
  if (m_binding) m_binding->CloseSocket();
}

void TIdIOHandlerSocket::SetUseNagle(bool useNagle) {
  m_useNagle = useNagle;
  if (m_binding) m_binding->SetUseNagle(useNagle);
}

void TIdIOHandlerSocket::AfterAccept() {
  if (m_binding) m_ipVersion = m_binding->IPVersion();
}

void TIdIOHandlerSocket::CheckForDisconnect(bool raiseIfDisconnected, bool ignoreBuffer) {
  bool allocated = m_binding && m_binding->HandleAllocated();
  if (ClosedGracefully() && allocated) {
    Close();
    allocated = false;
  }
  const bool disconnected = ClosedGracefully() || !allocated;
  if (disconnected && raiseIfDisconnected && (ignoreBuffer || InputBufferIsEmpty())) throw EIdConnClosedGracefully();
}

void TIdIOHandlerSocket::Close() {
  // The socket goes first: that is what wakes an owner blocked in a read.
  if (m_binding) m_binding->CloseSocket();
  TIdIOHandler::Close();
}

void TIdIOHandlerSocket::Open() {
  TIdIOHandler::Open();
  if (m_binding) {
    m_binding->Reset(true);
  } else {
    m_binding = std::make_unique<TIdSocketHandle>();
  }
  if (!Host().empty() && Port() > 0) {
    try {
      ConnectToPeer();
    } catch (...) {
      Close();
      throw;
    }
  }
}

void TIdIOHandlerSocket::DoBeforeBind() {
  if (m_onBeforeBind) m_onBeforeBind();
}

void TIdIOHandlerSocket::DoAfterBind() {
  if (m_onAfterBind) m_onAfterBind();
}

void TIdIOHandlerSocket::DoSocketAllocated() {
  if (m_onSocketAllocated) m_onSocketAllocated();
}

}  // namespace tessarine::net
