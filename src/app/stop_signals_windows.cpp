#include <windows.h>

#include <atomic>

#include "app/stop_signals.h"
#include "common/exception.h"

namespace tessarine::app {

namespace {

// The event of the one TStopSignals that exists; the handler runs on a thread the system starts for it.
std::atomic<HANDLE> g_stopEvent{nullptr};

BOOL WINAPI OnConsoleControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      if (HANDLE event = g_stopEvent.load()) return SetEvent(event);
      return FALSE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      if (HANDLE event = g_stopEvent.load()) {
        SetEvent(event);
        // The system ends the process as soon as this returns (at the latest after five seconds): the loop is
        // given that long to end and the program to get as far as dropping its stop signals.
        for (int i = 0; i < 450 && g_stopEvent.load() != nullptr; ++i) Sleep(10);
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace

// The console's control events are delivered to a handler on their own thread, not to a thread's mask.
void TStopSignals::BlockInThisThread() {}

TStopSignals::TStopSignals() {
  // Manual reset: it stays signalled until TakeSignals, however often the loop looks.
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) throw Exception("CreateEvent: error " + std::to_string(GetLastError()));
  m_fd = reinterpret_cast<intptr_t>(event);
  g_stopEvent.store(event);
  if (!SetConsoleCtrlHandler(&OnConsoleControl, TRUE)) {
    const DWORD error = GetLastError();
    g_stopEvent.store(nullptr);
    CloseHandle(event);
    throw Exception("SetConsoleCtrlHandler: error " + std::to_string(error));
  }
}

TStopSignals::~TStopSignals() {
  SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
  g_stopEvent.store(nullptr);
  CloseHandle(reinterpret_cast<HANDLE>(m_fd));
}

void TStopSignals::TakeSignals() {
  ResetEvent(reinterpret_cast<HANDLE>(m_fd));
  m_stopRequested = true;
}

}  // namespace tessarine::app
