#include "translate/fifo_lock.h"

namespace tessarine::translate {

void TFifoLock::lock() {
  std::unique_lock guard(m_mutex);
  if (!m_held && m_waiters.empty()) {
    m_held = true;
    return;
  }
  TWaiter waiter;
  m_waiters.push_back(&waiter);
  waiter.Turn.wait(guard, [&waiter] { return waiter.Granted; });
  // Handed over by unlock: m_held stayed true throughout.
}

void TFifoLock::unlock() {
  std::lock_guard guard(m_mutex);
  if (m_waiters.empty()) {
    m_held = false;
    return;
  }
  TWaiter* next = m_waiters.front();
  m_waiters.pop_front();
  next->Granted = true;
  // Under the mutex: the waiter, and its condition variable on its stack, live until it has seen Granted.
  next->Turn.notify_one();
}

size_t TFifoLock::Waiting() {
  std::lock_guard guard(m_mutex);
  return m_waiters.size();
}

}  // namespace tessarine::translate
