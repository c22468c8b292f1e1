#pragma once

#include <cstdint>

namespace tessarine::app {

// SIGTERM and SIGINT (on Windows the console's control events: Ctrl+C, Ctrl+Break, the console closed, log-off
// and shutdown) end the message loop, so the program leaves the way Exit leaves (windows destroyed, server
// stopped, tray icon removed, exit code 0) but without writing the settings. The signals arrive as a descriptor
// that turns readable (on Windows an event handle that turns signalled); the shell watches it in its message loop
// and ends the loop when it does.
class TStopSignals {
 public:
  // Blocks both signals in the calling thread; call it before any other thread exists, so that every thread
  // inherits the mask and the signals wait for the message loop instead of interrupting a thread.
  static void BlockInThisThread();

  // Needs BlockInThisThread first. Raises tessarine::Exception when the signal descriptor cannot be made.
  TStopSignals();
  ~TStopSignals();
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

  // Readable (signalled) while a signal waits.
  intptr_t Descriptor() const { return m_fd; }
  // Takes the waiting signals; from now on StopRequested.
  void TakeSignals();

  // A signal came (for instance before the message loop ran, while a start-up error box was open).
  bool StopRequested() const { return m_stopRequested; }

 private:
  intptr_t m_fd = -1;
  bool m_stopRequested = false;
};

}  // namespace tessarine::app
