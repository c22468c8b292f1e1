#pragma once

#include <QPlainTextEdit>
#include <QTimer>
#include <deque>
#include <string>

#include "shell/log_history_queue.h"

namespace tessarine::ui {

// The log panel sMemo1: a multi-line text box showing the lines that any thread appends to the core's log queue.
// It keeps the most recent history only, so a program that serves for weeks does not grow with every request.
//
// The queue (a TLogHistoryQueue, outliving the panel's use of it) keeps only the newest lines within the history
// limit. While the panel is hidden nobody can read it, so the lines stay in the queue and the UI thread does no
// work for them; when it is shown they go into the text at once, and while it is visible a timer moves them in
// batches a few times a second.
class TLogMemo : public QPlainTextEdit {
  Q_OBJECT

 public:
  static constexpr qsizetype kDefaultMaxLines = static_cast<qsizetype>(shell::kLogHistoryLines);
  static constexpr qsizetype kDefaultMaxCharacters = static_cast<qsizetype>(shell::kLogHistoryCharacters);

  explicit TLogMemo(shell::TLogHistoryQueue& pending, QWidget* parent = nullptr);

  // UI thread: removes every line, those still on their way included.
  void ClearLog();

  // UI thread: moves every queued line into the text now, shown or not (tests and benchmarks).
  void FlushPending();

  // UI thread: the history limit, at least one line (tests and benchmarks; not a setting). The text and the
  // queue are cut to it at once.
  void SetHistoryLimit(qsizetype maxLines, qsizetype maxCharacters);

  // The lines not yet in the text (tests).
  const shell::TLogHistoryQueue& Pending() const { return m_pending; }

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void appendLines(const std::deque<std::u16string>& lines);
  void trimText();

  shell::TLogHistoryQueue& m_pending;
  // The text's own limit, the queue's too; UI thread only.
  qsizetype m_maxLines = kDefaultMaxLines;
  qsizetype m_maxCharacters = kDefaultMaxCharacters;
  // Runs only while the panel is visible.
  QTimer m_drainTimer;
};

}  // namespace tessarine::ui
