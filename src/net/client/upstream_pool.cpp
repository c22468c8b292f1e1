#include "net/client/upstream_pool.h"

#include <algorithm>

#include "common/exception.h"
#include "net/exceptions.h"

namespace tessarine::client {

TUpstreamPool::TUpstreamPool(size_t size, std::function<void(TIdHTTP&)> configure)
    : m_bound(std::max<size_t>(size, 1)), m_configure(std::move(configure)) {}

TUpstreamPool::~TUpstreamPool() = default;

translate::IUpstreamClient& TUpstreamPool::Take() {
  std::unique_lock lock(m_mutex);
  if (m_stopped) throw net::EIdClosedSocket();
  if (!m_idle.empty()) {
    TIdHTTP* client = m_idle.back();
    m_idle.pop_back();
    return *client;
  }
  if (m_clients.size() < m_bound) {
    // Made under the lock: at most the bound's number of times in the program's life, and cheap (no connection).
    auto client = std::make_unique<TIdHTTP>();
    if (m_configure) m_configure(*client);
    m_clients.push_back(std::move(client));
    return *m_clients.back();
  }
  TWaiter waiter;
  m_waiters.push_back(&waiter);
  waiter.Turn.wait(lock, [&waiter] { return waiter.Given != nullptr || waiter.Refused; });
  if (waiter.Refused) throw net::EIdClosedSocket();
  return *waiter.Given;
}

void TUpstreamPool::GiveBack(translate::IUpstreamClient& client) {
  std::lock_guard lock(m_mutex);
  const auto found = std::find_if(m_clients.begin(), m_clients.end(), [&client](const std::unique_ptr<TIdHTTP>& own) {
    return static_cast<translate::IUpstreamClient*>(own.get()) == &client;
  });
  if (found == m_clients.end()) throw Exception("The client given back is not one of the pool's");
  if (m_waiters.empty()) {
    m_idle.push_back(found->get());
    return;
  }
  TWaiter* next = m_waiters.front();
  m_waiters.pop_front();
  next->Given = found->get();
  // Under the mutex: the waiter, and its condition variable on its stack, live until it has seen Given.
  next->Turn.notify_one();
}

bool TUpstreamPool::CallsStopped() const {
  std::lock_guard lock(m_mutex);
  return m_stopped;
}

void TUpstreamPool::Abort() {
  std::lock_guard lock(m_mutex);
  m_stopped = true;
  for (TWaiter* waiter : m_waiters) {
    waiter->Refused = true;
    waiter->Turn.notify_one();
  }
  m_waiters.clear();
  // The idle ones too, so that every client refuses alike until resumed; their kept-alive connections close.
  for (const auto& client : m_clients) client->Abort();
}

void TUpstreamPool::ResumeCalls() {
  std::lock_guard lock(m_mutex);
  for (const auto& client : m_clients) client->ResumeCalls();
  m_stopped = false;
}

size_t TUpstreamPool::Made() const {
  std::lock_guard lock(m_mutex);
  return m_clients.size();
}

size_t TUpstreamPool::Waiting() const {
  std::lock_guard lock(m_mutex);
  return m_waiters.size();
}

}  // namespace tessarine::client
