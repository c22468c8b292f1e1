#pragma once

#include <cstddef>
#include <list>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "net/tcp_connection.h"

namespace tessarine::server {

class TIdContext;

// The connections whose request has not fully arrived, oldest first, under a bound: listing one at the bound
// closes the oldest first, so connections that never send a request cannot keep out one that does. Any thread
// may list, unlist or close. Closing happens under the lock, and a context unlists itself before it or its
// connection is freed, so a connection being closed is never freed meanwhile.
class TWaitingConnections {
 public:
  explicit TWaitingConnections(size_t bound) : m_bound(bound) {}
  TWaitingConnections(const TWaitingConnections&) = delete;
  TWaitingConnections& operator=(const TWaitingConnections&) = delete;

  // 0: no bound.
  size_t bound() const;
  void setBound(size_t bound);

  // Lists the context with its connection as the newest; at the bound the oldest is closed and unlisted first.
  void add(TIdContext& context, net::TIdTCPConnection& connection);
  // Nothing when it is not listed.
  void remove(TIdContext& context);
  // Closes and unlists the oldest; false when none is listed.
  bool closeOldest();
  size_t count() const;

 private:
  void closeOldestLocked();

  mutable std::mutex m_lock;
  size_t m_bound;
  // The connection is kept from the listing: the context may give its own away before it is freed.
  using TEntry = std::pair<TIdContext*, net::TIdTCPConnection*>;
  std::list<TEntry> m_order;
  std::unordered_map<TIdContext*, std::list<TEntry>::iterator> m_index;
};

}  // namespace tessarine::server
