#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

namespace tessarine::shell {

// The history the log window keeps: the newest lines within both limits (a line counts its break); the oldest
// whole lines go first. About 300 KB of text for typical lines; the characters bound very long lines.
inline constexpr size_t kLogHistoryLines = 10000;
inline constexpr size_t kLogHistoryCharacters = 500000;

// The log panel's lines on their way from the threads that log them to the UI thread that shows them. One
// queue, so each thread's order holds, and appending never waits for the UI thread (which may itself be
// waiting for that thread while it stops the server). It keeps only the newest lines within the history
// limit (a line counts its break; the oldest whole lines go first, the newest always stays), so a panel
// nobody looks at for weeks holds no more than it could show.
class TLogHistoryQueue {
 public:
  TLogHistoryQueue(size_t maxLines, size_t maxCharacters);

  // Any thread.
  void Push(const std::u16string& line);
  // Any thread: every waiting line, oldest first; the queue is empty afterwards.
  std::deque<std::u16string> TakeAll();
  // Any thread: the limit, at least one line and one character; what waits is cut to it at once.
  void SetLimit(size_t maxLines, size_t maxCharacters);

  // What waits now.
  size_t Lines() const;
  size_t Characters() const;

 private:
  void trimLocked();

  mutable std::mutex m_mutex;
  std::deque<std::u16string> m_lines;  // guarded by m_mutex
  size_t m_characters = 0;             // guarded by m_mutex
  size_t m_maxLines;                   // guarded by m_mutex
  size_t m_maxCharacters;              // guarded by m_mutex
};

}  // namespace tessarine::shell
