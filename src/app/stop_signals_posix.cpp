#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/stop_signals.h"
#include "common/exception.h"

namespace tessarine::app {

namespace {

sigset_t StopSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

void TStopSignals::BlockInThisThread() {
  const sigset_t set = StopSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

TStopSignals::TStopSignals() {
  const sigset_t set = StopSet();
  const int fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0) throw Exception("signalfd: " + std::string(std::strerror(errno)));
  m_fd = fd;
}

TStopSignals::~TStopSignals() {
  if (m_fd >= 0) ::close(static_cast<int>(m_fd));
}

void TStopSignals::TakeSignals() {
  signalfd_siginfo info{};
  while (::read(static_cast<int>(m_fd), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
  }
  m_stopRequested = true;
}

}  // namespace tessarine::app
