#include "net/socket_list.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "common/string_list.h"
#include "net/exceptions.h"
#include "net/socket_stack_posix.h"

namespace tessarine::net {

void TIdSocketList::Add(TIdStackSocketHandle socket) {
  std::lock_guard lock(m_lock);
  if (std::find(m_sockets.begin(), m_sockets.end(), socket) != m_sockets.end()) return;
  if (static_cast<int>(m_sockets.size()) >= kMaxSockets) throw EIdStackSetSizeExceeded();
  m_sockets.push_back(socket);
}

void TIdSocketList::Remove(TIdStackSocketHandle socket) {
  std::lock_guard lock(m_lock);
  m_sockets.erase(std::remove(m_sockets.begin(), m_sockets.end(), socket), m_sockets.end());
}

bool TIdSocketList::Contains(TIdStackSocketHandle socket) const {
  std::lock_guard lock(m_lock);
  return std::find(m_sockets.begin(), m_sockets.end(), socket) != m_sockets.end();
}

int TIdSocketList::Count() const {
  std::lock_guard lock(m_lock);
  return static_cast<int>(m_sockets.size());
}

TIdStackSocketHandle TIdSocketList::Items(int index) const {
  std::lock_guard lock(m_lock);
  if (index < 0 || index >= static_cast<int>(m_sockets.size())) throw EStringListError::IndexOutOfBounds(index);
  return m_sockets[static_cast<size_t>(index)];
}

void TIdSocketList::Clear() {
  std::lock_guard lock(m_lock);
  m_sockets.clear();
}

std::vector<TIdStackSocketHandle> TIdSocketList::snapshot() const {
  std::lock_guard lock(m_lock);
  return m_sockets;
}

bool TIdSocketList::SelectRead(int timeoutMs) const {
  TIdSocketList ignored;
  return SelectReadList(ignored, timeoutMs);
}

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
