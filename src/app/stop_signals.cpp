#include "app/stop_signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cerrno>
#include <cstring>

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
  m_fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (m_fd < 0) throw Exception("signalfd: " + std::string(std::strerror(errno)));
  m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
  connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { readSignal(); });
}

TStopSignals::~TStopSignals() {
  m_notifier.reset();
  if (m_fd >= 0) ::close(m_fd);
}

void TStopSignals::readSignal() {
  signalfd_siginfo info{};
  while (::read(m_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
  }
  m_stopRequested = true;
  // exit, not quit: a quit can be refused by a window that will not close, as the main window will not.
  QCoreApplication::exit(0);
}

}  // namespace tessarine::app
