#pragma once

#include <QPlainTextEdit>
#include <QTimer>
#include <deque>
#include <mutex>
#include <string>

#include "translate/service_interfaces.h"

namespace tessarine::ui {

// The log panel sMemo1: a multi-line text box that any thread may append lines to. It keeps the most recent
// history only, so a program that serves for weeks does not grow with every request.
//
// Appended lines wait in one queue (so each thread's order holds, and an appending thread never waits for
// the UI thread, which may itself be waiting for that thread while it stops the server). The queue keeps
// only the newest lines within the history limit. While the panel is hidden nobody can read it, so the
// lines stay in the queue and the UI thread does no work for them; when it is shown they go into the text
// at once, and while it is visible a timer moves them in batches a few times a second.
class TLogMemo : public QPlainTextEdit, public translate::ILogSink {
  Q_OBJECT

 public:
  // The history kept: the newest lines within both limits (a line counts its break); the oldest whole
  // lines go first. About 300 KB of text for typical lines; the characters bound very long lines.
  static constexpr qsizetype kDefaultMaxLines = 10000;
  static constexpr qsizetype kDefaultMaxCharacters = 500000;

  explicit TLogMemo(QWidget* parent = nullptr);

  // Any thread.
  void AddLogLine(const std::u16string& line) override;

  // UI thread: removes every line, those still on their way included.
  void ClearLog();

  // UI thread: moves every queued line into the text now, shown or not (tests and benchmarks).
  void FlushPending();

  // UI thread: the history limit, at least one line (tests and benchmarks; not a setting). The text and the
  // queue are cut to it at once.
  void SetHistoryLimit(qsizetype maxLines, qsizetype maxCharacters);

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void trimQueueLocked();
  void appendLines(const std::deque<std::u16string>& lines);
  void trimText();

  std::mutex m_mutex;
  std::deque<std::u16string> m_pending;  // guarded by m_mutex
  qsizetype m_pendingCharacters = 0;     // guarded by m_mutex
  // Written by the UI thread with m_mutex held, so the UI thread alone may read them without it.
  qsizetype m_maxLines = kDefaultMaxLines;
  qsizetype m_maxCharacters = kDefaultMaxCharacters;
  // Runs only while the panel is visible.
  QTimer m_drainTimer;
};

}  // namespace tessarine::ui
