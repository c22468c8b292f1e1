#pragma once

#include <mutex>
#include <vector>

#include "net/socket_stack.h"

namespace tessarine::net {

// A locked set of at most 64 sockets (the select set size of the original platform) to wait on.
class TIdSocketList {
 public:
  static constexpr int kMaxSockets = 64;

  // Adding a socket already present changes nothing; a 65th raises "Set Size Exceeded.".
  void Add(TIdStackSocketHandle socket);
  void Remove(TIdStackSocketHandle socket);
  bool Contains(TIdStackSocketHandle socket) const;
  int Count() const;
  TIdStackSocketHandle Items(int index) const;
  void Clear();

  // Waits until at least one socket is readable; -1 waits without limit.
  bool SelectRead(int timeoutMs = -1) const;
  // As SelectRead, and puts the readable sockets into readable (replacing its contents).
  bool SelectReadList(TIdSocketList& readable, int timeoutMs = -1) const;

 private:
  std::vector<TIdStackSocketHandle> snapshot() const;

  TIdStackUsage m_usage;
  mutable std::mutex m_lock;
  std::vector<TIdStackSocketHandle> m_sockets;
};

}  // namespace tessarine::net
