// The wait of a socket list on Windows: select(), whose set holds the 64 sockets the list allows.

#include <algorithm>

#include "net/socket_list.h"
#include "net/socket_stack_winsock.h"

namespace tessarine::net {

bool TIdSocketList::SelectReadList(TIdSocketList& readable, int timeoutMs) const {
  // The wait runs on a copy so that the lock is never held while blocked.
  const std::vector<TIdStackSocketHandle> sockets = snapshot();
  fd_set set;
  FD_ZERO(&set);
  for (TIdStackSocketHandle socket : sockets) FD_SET(SystemSocket(socket), &set);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  int rc;
  if (sockets.empty()) {
    // select() refuses empty sets; an empty list waits out its time.
    if (timeoutMs > 0) Sleep(static_cast<DWORD>(timeoutMs));
    rc = 0;
  } else {
    rc = select(0, &set, nullptr, nullptr, timeoutMs < 0 ? nullptr : &limit);
    if (rc == SOCKET_ERROR) GStack()->RaiseSocketError(GStack()->WSGetLastError());
  }
  std::vector<TIdStackSocketHandle> ready;
  for (TIdStackSocketHandle socket : sockets)
    if (FD_ISSET(SystemSocket(socket), &set)) ready.push_back(socket);
  {
    std::lock_guard lock(readable.m_lock);
    readable.m_sockets = std::move(ready);
  }
  return rc > 0;
}

}  // namespace tessarine::net
