#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace tessarine::app {

// SIGTERM and SIGINT end the message loop, so the program leaves the way Exit leaves (windows destroyed,
// server stopped, tray icon removed, exit code 0) but without writing the settings.
class TStopSignals : public QObject {
  Q_OBJECT

 public:
  // Blocks both signals in the calling thread; call it before any other thread exists, so that every thread
  // inherits the mask and the signals wait for the message loop instead of interrupting a thread.
  static void BlockInThisThread();

  // Needs BlockInThisThread first. Raises tessarine::Exception when the signal descriptor cannot be made.
  TStopSignals();
  ~TStopSignals() override;

  // A signal came before the message loop ran (for instance while a start-up error box was open).
  bool StopRequested() const { return m_stopRequested; }

 private:
  void readSignal();

  int m_fd = -1;
  bool m_stopRequested = false;
  std::unique_ptr<QSocketNotifier> m_notifier;
};

}  // namespace tessarine::app
