#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "net/client/http_client.h"
#include "translate/service_interfaces.h"

namespace tessarine::client {

// A few upstream clients for the engine calls that may run side by side. Clients are made on first need, up to
// the bound, and kept: each keeps its connection alive for the next call it serves. A caller that finds every
// client taken waits, and clients are handed on in the order the callers asked. Any thread may call.
class TUpstreamPool final : public translate::IUpstreamPool {
 public:
  // A local service overlaps a handful of requests at most; more clients would only queue inside it.
  static constexpr size_t kDefaultSize = 4;

  // Each client is configured as IdHTTP1 is (the same time and reply limits), then by configure when given.
  explicit TUpstreamPool(size_t size = kDefaultSize, std::function<void(TIdHTTP&)> configure = {});
  // Every client taken must have been given back.
  ~TUpstreamPool() override;
  TUpstreamPool(const TUpstreamPool&) = delete;
  TUpstreamPool& operator=(const TUpstreamPool&) = delete;

  // Raises "Disconnected." after Abort, also to callers already waiting.
  translate::IUpstreamClient& Take() override;
  void GiveBack(translate::IUpstreamClient& client) override;
  bool CallsStopped() const override;

  // Ends every call in progress from another thread, as TIdHTTP::Abort does for one client, and makes Take and
  // every call fail at once until ResumeCalls.
  void Abort();
  void ResumeCalls();

  // Clients made so far; never more than the bound.
  size_t Made() const;
  // Callers waiting for a client now.
  size_t Waiting() const;
  size_t Bound() const { return m_bound; }

 private:
  struct TWaiter {
    std::condition_variable Turn;
    TIdHTTP* Given = nullptr;
    bool Refused = false;
  };

  const size_t m_bound;
  const std::function<void(TIdHTTP&)> m_configure;
  mutable std::mutex m_mutex;
  std::vector<std::unique_ptr<TIdHTTP>> m_clients;  // every client made; guarded by m_mutex
  // Given back and not taken since, the latest last: its kept-alive connection is the likeliest to be open still.
  std::vector<TIdHTTP*> m_idle;    // guarded by m_mutex
  std::deque<TWaiter*> m_waiters;  // guarded by m_mutex, longest waiting first
  bool m_stopped = false;          // guarded by m_mutex
};

}  // namespace tessarine::client
