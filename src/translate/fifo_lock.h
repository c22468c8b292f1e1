#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

namespace tessarine::translate {

// A lock taken in the order it was asked for. With a plain mutex a caller arriving just as the lock is released
// can take it ahead of those already waiting, again and again: when the lock guards a call of several
// milliseconds (the one upstream client serving an engine call) some requests then wait many calls long. Here
// each release hands the lock to the longest waiter. Meets BasicLockable, for std::lock_guard.
class TFifoLock {
 public:
  TFifoLock() = default;
  TFifoLock(const TFifoLock&) = delete;
  TFifoLock& operator=(const TFifoLock&) = delete;

  void lock();
  void unlock();
  // Callers waiting for the lock now.
  size_t Waiting();

 private:
  struct TWaiter {
    std::condition_variable Turn;
    bool Granted = false;
  };

  std::mutex m_mutex;
  bool m_held = false;             // guarded by m_mutex
  std::deque<TWaiter*> m_waiters;  // guarded by m_mutex, longest waiting first
};

}  // namespace tessarine::translate
