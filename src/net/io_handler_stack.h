#pragma once

#include "net/io_handler_socket.h"

namespace tessarine::net {

// The plain-socket transport: every hook goes to the binding. The TLS handler derives from it and
// replaces the hooks (and extends ConnectToPeer and Close).
class TIdIOHandlerStack : public TIdIOHandlerSocket {
 public:
  TIdIOHandlerStack() = default;

  ptrdiff_t ReceiveRaw(uint8_t* buffer, size_t size) override;
  ptrdiff_t SendRaw(const uint8_t* data, size_t size) override;
  bool RawAvailable() override;
  int CheckRawError(ptrdiff_t result) override;
  [[noreturn]] void RaiseError(int errorCode) override;
  bool Readable(int msec = -1) override;
  // First pulls in whatever is pending without waiting, so a closed peer is noticed.
  bool Connected() override;
  // Binds, resolves Host and connects to Port; a ConnectTimeout other than 0 limits the connect
  // ("Connect timed out.").
  void ConnectToPeer() override;
};

}  // namespace tessarine::net
