// The wait of a socket list on POSIX: poll(), resumed after signals.

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "net/socket_list.h"
#include "net/socket_stack_posix.h"

namespace tessarine::net {

bool TIdSocketList::SelectReadList(TIdSocketList& readable, int timeoutMs) const {
  // The wait runs on a copy so that the lock is never held while blocked.
  const std::vector<TIdStackSocketHandle> sockets = snapshot();
  std::vector<pollfd> entries;
  entries.reserve(sockets.size());
  for (TIdStackSocketHandle socket : sockets) entries.push_back(pollfd{socket, POLLIN, 0});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  int wait = timeoutMs < 0 ? -1 : timeoutMs;
  int rc;
  while ((rc = poll(entries.data(), entries.size(), wait)) < 0) {
    if (errno != EINTR) GStack()->RaiseSocketError(WSErrorFromErrno(errno));
    if (timeoutMs >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      wait = std::max<int>(0, static_cast<int>(left.count()));
    }
  }
  std::vector<TIdStackSocketHandle> ready;
  for (const pollfd& entry : entries)
    if (entry.revents != 0) ready.push_back(entry.fd);
  {
    std::lock_guard lock(readable.m_lock);
    readable.m_sockets = std::move(ready);
  }
  return rc > 0;
}

}  // namespace tessarine::net
