#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tessarine::app {

// The --log echo: every log line also goes to a file descriptor (standard error). A thread of its own turns
// the lines into UTF-8 and writes them in batches, so a request thread makes no system call for its lines
// and is never held up by a slow reader or by a pipe that nobody reads.
class TLogEcho {
 public:
  struct TLimits {
    // Lines waiting beyond this many are dropped, and a line saying how many takes their place.
    size_t MaxQueued = 100000;
    // At destruction: how long what is still queued may take to be written (to a reader that takes
    // nothing, say) before it is given up.
    std::chrono::milliseconds StopWait{2000};
  };

  explicit TLogEcho(int fd);
  TLogEcho(int fd, TLimits limits);
  // Writes what is queued (within StopWait), then ends the thread.
  ~TLogEcho();
  TLogEcho(const TLogEcho&) = delete;
  TLogEcho& operator=(const TLogEcho&) = delete;

  // Any thread; lines of one thread are written in the order of the calls, whole.
  void Add(const std::u16string& line);

 private:
  void run();
  // False when the descriptor takes nothing any more: closed, or silent past StopWait once stopping.
  bool writeAll(const std::string& bytes);

  const int m_fd;
  const TLimits m_limits;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::vector<std::u16string> m_queue;                   // guarded by m_mutex
  size_t m_dropped = 0;                                  // guarded by m_mutex
  bool m_stopping = false;                               // guarded by m_mutex
  std::chrono::steady_clock::time_point m_stopDeadline;  // guarded by m_mutex
  std::thread m_thread;
};

}  // namespace tessarine::app
