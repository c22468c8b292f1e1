#include "net/server/server_io_handler.h"

#include <chrono>
#include <thread>

#include "net/io_handler_stack.h"
#include "net/server/listener_thread.h"
#include "net/socket_stack.h"

namespace tessarine::server {

std::unique_ptr<net::TIdIOHandler> TIdServerIOHandlerStack::Accept(net::TIdSocketHandle& listening,
                                                                   TIdListenerThread& thread, TIdYarn* /*yarn*/) {
  auto takeAhead = [&thread] {
    std::unique_ptr<net::TIdIOHandler> handler = std::move(thread.AcceptedAhead.front());
    thread.AcceptedAhead.pop_front();
    return handler;
  };
  if (!thread.AcceptedAhead.empty()) return takeAhead();
  while (!thread.Stopped()) {
    if (!listening.Readable(kAcceptWaitMs)) continue;
    // Every queued connection comes off the listen queue before any is handed over: an accept costs a few
    // microseconds, the hand-over several times that, and a burst must not overflow a queue of 15.
    bool failed = false;
    int error = 0;
    for (size_t taken = 0; taken < kAcceptAheadMax; ++taken) {
      auto handler = std::make_unique<net::TIdIOHandlerStack>();
      handler->Open();
      if (!handler->Binding()->Accept(listening)) {
        failed = taken == 0;
        if (failed) error = net::GStack()->WSGetLastError();
        break;
      }
      handler->AfterAccept();
      thread.AcceptedAhead.push_back(std::move(handler));
      if (!listening.Readable(0)) break;
    }
    if (!thread.AcceptedAhead.empty()) return takeAhead();
    // The connection stays queued; waiting would not give a descriptor back, closing a connection does.
    if (failed && error == kDescriptorsExhausted && !thread.Stopped()) net::GStack()->RaiseSocketError(error);
    // Any other failed accept (no memory for the socket, say) leaves the socket readable; pause, do not spin.
    if (failed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return nullptr;
}

}  // namespace tessarine::server
