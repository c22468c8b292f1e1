// The --log echo's writing on POSIX: poll and write on the descriptor, SIGPIPE blocked on the echo thread.

#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "shell/log_echo.h"

namespace tessarine::shell {

namespace {

// Writes of at most PIPE_BUF bytes into a pipe that polls writable do not block.
constexpr size_t kChunk = PIPE_BUF;
constexpr int kPollMs = 100;

}  // namespace

void TLogEcho::prepareThread() {
  // A reader that has gone must come back as EPIPE on this thread, not as a SIGPIPE that ends the program.
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
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
    if (givenUp()) return false;
  }
  return true;
}

}  // namespace tessarine::shell
