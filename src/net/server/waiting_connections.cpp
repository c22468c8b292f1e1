#include "net/server/waiting_connections.h"

namespace tessarine::server {

size_t TWaitingConnections::bound() const {
  std::lock_guard lock(m_lock);
  return m_bound;
}

void TWaitingConnections::setBound(size_t bound) {
  std::lock_guard lock(m_lock);
  m_bound = bound;
}

void TWaitingConnections::add(TIdContext& context, net::TIdTCPConnection& connection) {
  std::lock_guard lock(m_lock);
  if (m_index.contains(&context)) return;
  while (m_bound > 0 && m_order.size() >= m_bound) closeOldestLocked();
  m_order.emplace_back(&context, &connection);
  m_index.emplace(&context, std::prev(m_order.end()));
}

void TWaitingConnections::remove(TIdContext& context) {
  std::lock_guard lock(m_lock);
  const auto it = m_index.find(&context);
  if (it == m_index.end()) return;
  m_order.erase(it->second);
  m_index.erase(it);
}

bool TWaitingConnections::closeOldest() {
  std::lock_guard lock(m_lock);
  if (m_order.empty()) return false;
  closeOldestLocked();
  return true;
}

size_t TWaitingConnections::count() const {
  std::lock_guard lock(m_lock);
  return m_order.size();
}

void TWaitingConnections::closeOldestLocked() {
  const auto [context, connection] = m_order.front();
  m_order.pop_front();
  m_index.erase(context);
  // Closing the socket wakes a worker blocked in a read of it; a connection still waiting for its worker is
  // simply found closed by it.
  connection->Disconnect(false);
}

}  // namespace tessarine::server
