#include "net/client/upstream_gate.h"

#include <chrono>
#include <thread>

#include "common/exception.h"
#include "net/exceptions.h"

namespace tessarine::client {

namespace {

// How often a running call is aborted again while the gate is closed: an abort that lands just before the
// call opens its connection finds nothing to close, so it is repeated until the call has returned.
constexpr auto kAbortInterval = std::chrono::milliseconds(20);

}  // namespace

TUpstreamGate::TUpstreamGate(translate::IUpstreamClient& client, std::function<void()> abort,
                             std::function<void()> resume, translate::IUpstreamPool* pool)
    : m_client(client), m_abort(std::move(abort)), m_resume(std::move(resume)), m_pool(pool) {}

void TUpstreamGate::CustomHeadersAddValue(const std::u16string& name, const std::u16string& value) {
  m_client.CustomHeadersAddValue(name, value);
}

void TUpstreamGate::CustomHeadersClear() { m_client.CustomHeadersClear(); }

std::u16string TUpstreamGate::Get(const std::u16string& url) {
  enter();
  struct Leave {
    TUpstreamGate& gate;
    ~Leave() { gate.leave(); }
  } leave{*this};
  return m_client.Get(url);
}

std::u16string TUpstreamGate::Post(const std::u16string& url, TStream& source) {
  enter();
  struct Leave {
    TUpstreamGate& gate;
    ~Leave() { gate.leave(); }
  } leave{*this};
  return m_client.Post(url, source);
}

std::optional<int64_t> TUpstreamGate::RetryAfterSeconds() const {
  {
    std::lock_guard lock(m_mutex);
    if (m_lastRefused) return std::nullopt;
  }
  return m_client.RetryAfterSeconds();
}

std::optional<std::u16string> TUpstreamGate::RefusedReplyText() const {
  {
    std::lock_guard lock(m_mutex);
    if (m_lastRefused) return std::nullopt;
  }
  return m_client.RefusedReplyText();
}

int TUpstreamGate::RefusedStatusCode() const {
  {
    std::lock_guard lock(m_mutex);
    if (m_lastRefused) return 0;
  }
  return m_client.RefusedStatusCode();
}

translate::IUpstreamClient& TUpstreamGate::Take() {
  if (m_pool == nullptr) throw Exception("The upstream gate has no pool");
  enter(true);
  try {
    return m_pool->Take();
  } catch (...) {
    leave();
    throw;
  }
}

void TUpstreamGate::GiveBack(translate::IUpstreamClient& client) {
  struct Leave {
    TUpstreamGate& gate;
    ~Leave() { gate.leave(); }
  } leave{*this};
  m_pool->GiveBack(client);
}

void TUpstreamGate::enter(bool pooled) {
  std::lock_guard lock(m_mutex);
  // The one client's RetryAfterSeconds and RefusedReplyText answer for its last call; a pooled caller reads its
  // own client's.
  if (!pooled) m_lastRefused = m_closed;
  if (m_closed) throw net::EIdClosedSocket();
  ++m_running;
}

void TUpstreamGate::leave() {
  std::lock_guard lock(m_mutex);
  --m_running;
  m_changed.notify_all();
}

bool TUpstreamGate::Closed() const {
  std::lock_guard lock(m_mutex);
  return m_closed;
}

void TUpstreamGate::RunClosed(const std::function<void()>& stop) {
  {
    std::lock_guard lock(m_mutex);
    m_closed = true;
  }
  bool stopping = true;
  std::thread aborter([this, &stopping] {
    std::unique_lock lock(m_mutex);
    while (stopping) {
      if (m_running > 0) {
        lock.unlock();
        m_abort();
        lock.lock();
      }
      m_changed.wait_for(lock, kAbortInterval, [&] { return !stopping; });
    }
  });
  struct Reopen {
    TUpstreamGate& gate;
    bool& stopping;
    std::thread& aborter;
    ~Reopen() {
      {
        std::lock_guard lock(gate.m_mutex);
        stopping = false;
      }
      gate.m_changed.notify_all();
      aborter.join();
      // The client is resumed before callers are let in again, so the first call after reopening works.
      if (gate.m_resume) gate.m_resume();
      std::lock_guard lock(gate.m_mutex);
      gate.m_closed = false;
    }
  } reopen{*this, stopping, aborter};
  stop();
}

}  // namespace tessarine::client
