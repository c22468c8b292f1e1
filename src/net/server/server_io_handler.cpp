#include "net/server/server_io_handler.h"

#include <chrono>
#include <thread>

#include "net/io_handler_stack.h"
#include "net/server/listener_thread.h"

namespace tessarine::server {

std::unique_ptr<net::TIdIOHandler> TIdServerIOHandlerStack::Accept(net::TIdSocketHandle& listening,
                                                                   TIdListenerThread& thread, TIdYarn* /*yarn*/) {
  auto handler = std::make_unique<net::TIdIOHandlerStack>();
  handler->Open();
  while (!thread.Stopped()) {
    // Returns at once while connections are queued, so the listener takes every queued one before it waits;
    // between two accepts it only hands the last one over (it never creates a thread).
    if (!listening.Readable(kAcceptWaitMs)) continue;
    if (handler->Binding()->Accept(listening)) {
      handler->AfterAccept();
      return handler;
    }
    // A failed accept (descriptors exhausted, say) leaves the socket readable; pause instead of spinning.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return nullptr;
}

}  // namespace tessarine::server
