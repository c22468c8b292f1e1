#include "app/log_echo.h"

#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "common/text.h"

namespace tessarine::app {

namespace {

// Writes of at most PIPE_BUF bytes into a pipe that polls writable do not block.
constexpr size_t kChunk = PIPE_BUF;
constexpr int kPollMs = 100;
// How long the first line of a batch may wait for more before the batch is written.
constexpr auto kGather = std::chrono::milliseconds(10);

}  // namespace

TLogEcho::TLogEcho(int fd) : TLogEcho(fd, TLimits{}) {}

TLogEcho::TLogEcho(int fd, TLimits limits) : m_fd(fd), m_limits(limits) {
  m_thread = std::thread([this] { run(); });
}

TLogEcho::~TLogEcho() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
    m_stopDeadline = std::chrono::steady_clock::now() + m_limits.StopWait;
  }
  m_wake.notify_one();
  m_thread.join();
}

void TLogEcho::Add(const std::u16string& line) {
  std::u16string copy = line;  // allocated before the lock is taken
  bool wake = false;
  {
    std::lock_guard lock(m_mutex);
    if (m_queue.size() >= m_limits.MaxQueued) {
      ++m_dropped;
      return;
    }
    wake = m_queue.empty();
    m_queue.push_back(std::move(copy));
  }
  if (wake) m_wake.notify_one();
}

void TLogEcho::run() {
  // A reader that has gone must come back as EPIPE on this thread, not as a SIGPIPE that ends the program.
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

  std::vector<std::u16string> batch;
  std::string bytes;
  bool open = true;
  for (;;) {
    size_t dropped = 0;
    bool stopping = false;
    {
      std::unique_lock lock(m_mutex);
      m_wake.wait(lock, [this] { return !m_queue.empty() || m_dropped > 0 || m_stopping; });
      if (m_queue.empty() && m_dropped == 0) return;  // stopping, and everything written
      stopping = m_stopping;
    }
    // Lines come a few at a time; letting them gather costs one wake-up and one write per batch instead of
    // per line or two. Nobody waits on this thread meanwhile: the queue being non-empty, loggers wake no one.
    if (!stopping) std::this_thread::sleep_for(kGather);
    {
      std::lock_guard lock(m_mutex);
      batch.swap(m_queue);
      std::swap(dropped, m_dropped);
    }
    if (open) {
      bytes.clear();
      for (const std::u16string& line : batch) {
        bytes += ToUtf8(line);
        bytes += '\n';
      }
      if (dropped > 0) {
        bytes += "(" + std::to_string(dropped) + " log lines dropped: standard error did not take them in time)\n";
      }
      open = writeAll(bytes);
    }
    batch.clear();
  }
}

bool TLogEcho::writeAll(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    pollfd ready{m_fd, POLLOUT, 0};
    const int polled = ::poll(&ready, 1, kPollMs);
    if (polled < 0 && errno != EINTR) return false;
    if (polled > 0) {
      if ((ready.revents & (POLLERR | POLLNVAL)) != 0) return false;
      // Whole lines where they fit, so what others write to the same descriptor lands between lines.
      size_t size = std::min(bytes.size() - done, kChunk);
      if (done + size < bytes.size()) {
        const size_t lineEnd = bytes.rfind('\n', done + size - 1);
        if (lineEnd != std::string::npos && lineEnd >= done) size = lineEnd + 1 - done;
      }
      const ssize_t written = ::write(m_fd, bytes.data() + done, size);
      if (written > 0) {
        done += static_cast<size_t>(written);
        continue;
      }
      if (written < 0 && errno != EINTR && errno != EAGAIN) return false;
    }
    std::lock_guard lock(m_mutex);
    if (m_stopping && std::chrono::steady_clock::now() >= m_stopDeadline) return false;
  }
  return true;
}

}  // namespace tessarine::app
