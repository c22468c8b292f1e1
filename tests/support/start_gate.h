#pragma once

#include <condition_variable>
#include <mutex>

namespace tessarine::test_support {

// Lets a number of threads start together. std::latch would do, but it loses wake-ups under Wine, where these
// tests run too.
class StartGate {
 public:
  explicit StartGate(int count) : m_waiting(count) {}

  void arrive_and_wait() {
    std::unique_lock lock(m_mutex);
    if (--m_waiting <= 0) {
      m_open.notify_all();
      return;
    }
    m_open.wait(lock, [this] { return m_waiting <= 0; });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_open;
  int m_waiting;
};

}  // namespace tessarine::test_support
