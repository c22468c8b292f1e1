#pragma once

#include <memory>

#include "net/component.h"
#include "net/io_handler.h"
#include "net/socket_handle.h"

namespace tessarine::server {

class TIdListenerThread;
class TIdYarn;

// The socket error of an accept that failed because the process has no descriptor left (EMFILE).
constexpr int kDescriptorsExhausted = 10024;

// Makes the I/O handler of each accepted connection.
class TIdServerIOHandler : public net::TIdComponent {
 public:
  virtual void Init() {}
  virtual void Shutdown() {}
  // Waits for a connection on the listening socket until the thread is stopped; nullptr then. An accept that
  // finds no descriptor left raises the socket error kDescriptorsExhausted, so the server can make room.
  virtual std::unique_ptr<net::TIdIOHandler> Accept(net::TIdSocketHandle& listening, TIdListenerThread& thread,
                                                    TIdYarn* yarn) = 0;
};

// Plain sockets: each connection gets a TIdIOHandlerStack.
class TIdServerIOHandlerStack : public TIdServerIOHandler {
 public:
  // How long one wait for the listening socket lasts before the stop flag is looked at again.
  static constexpr int kAcceptWaitMs = 250;
  // At most this many connections are taken off the listen queue in one go.
  static constexpr size_t kAcceptAheadMax = 256;

  std::unique_ptr<net::TIdIOHandler> Accept(net::TIdSocketHandle& listening, TIdListenerThread& thread,
                                            TIdYarn* yarn) override;
};

}  // namespace tessarine::server
