#include "net/socket_list.h"

#include <algorithm>

#include "common/string_list.h"
#include "net/exceptions.h"

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

}  // namespace tessarine::net
