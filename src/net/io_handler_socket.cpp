#include "net/io_handler_socket.h"

#include "net/exceptions.h"

namespace tessarine::net {

TIdIOHandlerSocket::~TIdIOHandlerSocket() {
  if (TIdSocketHandle* binding = m_binding.load()) {
    binding->CloseSocket();
    delete binding;
  }
}

void TIdIOHandlerSocket::SetUseNagle(bool useNagle) {
  m_useNagle = useNagle;
  if (TIdSocketHandle* binding = m_binding.load()) binding->SetUseNagle(useNagle);
}

void TIdIOHandlerSocket::AfterAccept() {
  if (TIdSocketHandle* binding = m_binding.load()) m_ipVersion = binding->IPVersion();
}

void TIdIOHandlerSocket::CheckForDisconnect(bool raiseIfDisconnected, bool ignoreBuffer) {
  TIdSocketHandle* binding = m_binding.load();
  bool allocated = binding != nullptr && binding->HandleAllocated();
  if (ClosedGracefully() && allocated) {
    Close();
    allocated = false;
  }
  const bool disconnected = ClosedGracefully() || !allocated;
  if (disconnected && raiseIfDisconnected && (ignoreBuffer || InputBufferIsEmpty())) throw EIdConnClosedGracefully();
}

void TIdIOHandlerSocket::Close() {
  // The socket goes first: that is what wakes an owner blocked in a read.
  if (TIdSocketHandle* binding = m_binding.load()) binding->CloseSocket();
  TIdIOHandler::Close();
}

void TIdIOHandlerSocket::Open() {
  TIdIOHandler::Open();
  if (TIdSocketHandle* binding = m_binding.load()) {
    binding->Reset(true);
  } else {
    m_binding.store(new TIdSocketHandle());
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
