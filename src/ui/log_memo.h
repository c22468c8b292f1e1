#pragma once

#include <QPlainTextEdit>
#include <mutex>
#include <string>
#include <vector>

#include "translate/service_interfaces.h"

namespace tessarine::ui {

// The log panel sMemo1: a multi-line text box that any thread may append lines to. Lines go through a queue
// that the UI thread drains, so an appending thread never waits for the UI thread (which may itself be
// waiting for that thread while it stops the server). One queue for all threads keeps each thread's order.
class TLogMemo : public QPlainTextEdit, public translate::ILogSink {
  Q_OBJECT

 public:
  explicit TLogMemo(QWidget* parent = nullptr);

  // Any thread.
  void AddLogLine(const std::u16string& line) override;

  // UI thread: removes every line, those still on their way included.
  void ClearLog();

  // UI thread: moves every queued line into the text now (tests and benchmarks; the event loop does it too).
  void FlushPending();

 private:
  // Appends the queued lines in batches small enough to keep the event loop responsive.
  void drainSome();
  void appendBatch(const std::vector<std::u16string>& lines);

  std::mutex m_mutex;
  std::vector<std::u16string> m_pending;  // guarded by m_mutex
  bool m_drainPosted = false;             // guarded by m_mutex
};

}  // namespace tessarine::ui
