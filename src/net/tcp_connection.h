#pragma once

#include <functional>
#include <memory>

#include "net/component.h"
#include "net/io_handler.h"
#include "net/io_handler_socket.h"

namespace tessarine::net {

// One TCP connection and the I/O handler it reads and writes through.
class TIdTCPConnection : public TIdComponent {
 public:
  using TNotifyEvent = std::function<void()>;

  TIdTCPConnection() = default;
  // Closes the handler first, then frees it when managed.
  ~TIdTCPConnection() override;

  TIdIOHandler* IOHandler() const { return m_ioHandler; }
  // The handler when it is a socket handler, else nullptr.
  TIdIOHandlerSocket* Socket() const;
  // A handler the connection does not own.
  void SetIOHandler(TIdIOHandler* handler);
  // A handler the connection owns (ManagedIOHandler becomes true).
  void SetIOHandler(std::unique_ptr<TIdIOHandler> handler);
  // Gives the connection a managed plain-socket handler when it has none.
  void CreateIOHandler();
  bool ManagedIOHandler() const { return m_managedIOHandler; }
  void SetManagedIOHandler(bool managed) { m_managedIOHandler = managed; }

  void SetOnDisconnected(TNotifyEvent handler) { m_onDisconnected = std::move(handler); }

  virtual bool Connected();
  // notifyPeer sends the protocol's farewell first (failures ignored). Disconnect(false) may be
  // called from another thread to end the owner's blocked read.
  virtual void Disconnect(bool notifyPeer = true);

 protected:
  // The protocol's farewell; nothing for HTTP.
  virtual void DisconnectNotifyPeer() {}

 private:
  void releaseHandler();

  TIdIOHandler* m_ioHandler = nullptr;
  bool m_managedIOHandler = false;
  TNotifyEvent m_onDisconnected;
};

}  // namespace tessarine::net
