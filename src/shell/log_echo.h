#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tessarine::shell {

// The --log echo: every log line also goes to a file descriptor (standard error). A thread of its own turns
// the lines into UTF-8 and writes them in batches, so a request thread makes no system call for its lines
// and is never held up by a slow reader or by a pipe that nobody reads.
//
// The lines carry text from the network, and a terminal acts on control characters in what it prints: each
// entry is written as one line of its own with its controls made visible (see EchoText).
class TLogEcho {
 public:
  struct TLimits {
    // A line that would take the queue beyond either bound is dropped, and a line saying how many
    // takes the place of those dropped. A line counts its break; characters are UTF-16 code units.
    size_t MaxLines = 100000;
    size_t MaxCharacters = 1000000;
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
  // The platform's half (log_echo_posix.cpp). A descriptor whose reader has gone must fail the write on the
  // echo thread instead of ending the program; prepareThread arranges that, on the echo thread.
  static void prepareThread();
  // False when the descriptor takes nothing any more: closed, or silent past StopWait once stopping.
  bool writeAll(const std::string& bytes);
  bool givenUp();

  const int m_fd;
  const TLimits m_limits;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::vector<std::u16string> m_queue;                   // guarded by m_mutex
  size_t m_queuedCharacters = 0;                         // guarded by m_mutex
  size_t m_dropped = 0;                                  // guarded by m_mutex
  bool m_stopping = false;                               // guarded by m_mutex
  std::chrono::steady_clock::time_point m_stopDeadline;  // guarded by m_mutex
  std::thread m_thread;
};

// One entry as the echo writes it, in UTF-8 without its line break. Characters a terminal would act on, or
// that would change how the rest of the line reads, become escapes: a line break "\n" (and "\r"), another
// C0 control or DEL "\x1b" style, a C1 control, a line or paragraph separator and the bidirectional
// formatting characters "\u009b" style, and the backslash itself "\\", so that every escape reads one way
// only. Tabs and everything else stay as they are.
std::string EchoText(std::u16string_view line);

}  // namespace tessarine::shell
