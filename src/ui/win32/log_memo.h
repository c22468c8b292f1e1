#pragma once

#include <windows.h>

#include <cstddef>
#include <deque>
#include <string>

#include "shell/log_history_queue.h"

namespace tessarine::ui::win32 {

// The log window's text sMemo1: a multi-line edit control that takes the queued log lines in batches and keeps
// the newest entries within the history limit (an entry counts its break; the oldest whole entries go first, the
// newest always stays). A break inside an entry shows as a line break. The text is read-only: it is the log.
// UI thread only.
class TLogMemo {
 public:
  TLogMemo(HWND parent, shell::TLogHistoryQueue& pending, int left, int top, int width, int height);
  TLogMemo(const TLogMemo&) = delete;
  TLogMemo& operator=(const TLogMemo&) = delete;

  HWND Handle() const { return m_edit; }
  // Takes in every queued line; the caret then follows the newest.
  void FlushPending();
  // Empties the text and drops what waits.
  void ClearLog();
  // At least one line and one character; the queue gets the same limit.
  void SetHistoryLimit(size_t maxLines, size_t maxCharacters);
  // The text as the control holds it.
  std::u16string Text() const;

 private:
  struct TEntry {
    size_t Counted;  // characters of the line as logged, with its break
    size_t Shown;    // characters it takes in the control, with its CR LF
  };
  void trim();

  HWND m_edit;
  shell::TLogHistoryQueue& m_pending;
  std::deque<TEntry> m_entries;
  size_t m_counted = 0;
  size_t m_shown = 0;
  size_t m_maxLines = shell::kLogHistoryLines;
  size_t m_maxCharacters = shell::kLogHistoryCharacters;
};

}  // namespace tessarine::ui::win32
