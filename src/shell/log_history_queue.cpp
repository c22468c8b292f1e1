#include "shell/log_history_queue.h"

#include <algorithm>
#include <utility>

namespace tessarine::shell {

namespace {

size_t WithBreak(const std::u16string& line) { return line.size() + 1; }

}  // namespace

TLogHistoryQueue::TLogHistoryQueue(size_t maxLines, size_t maxCharacters)
    : m_maxLines(std::max<size_t>(maxLines, 1)), m_maxCharacters(std::max<size_t>(maxCharacters, 1)) {}

void TLogHistoryQueue::Push(const std::u16string& line) {
  // The line is copied before the lock is taken, and the one it usually pushes out is freed after.
  std::u16string copy = line;
  std::u16string dropped;
  std::lock_guard lock(m_mutex);
  m_characters += WithBreak(copy);
  m_lines.push_back(std::move(copy));
  if (m_lines.size() > 1 && (m_lines.size() > m_maxLines || m_characters > m_maxCharacters)) {
    m_characters -= WithBreak(m_lines.front());
    dropped.swap(m_lines.front());
    m_lines.pop_front();
    trimLocked();
  }
}

std::deque<std::u16string> TLogHistoryQueue::TakeAll() {
  std::deque<std::u16string> lines;
  std::lock_guard lock(m_mutex);
  lines.swap(m_lines);
  m_characters = 0;
  return lines;
}

void TLogHistoryQueue::SetLimit(size_t maxLines, size_t maxCharacters) {
  std::lock_guard lock(m_mutex);
  m_maxLines = std::max<size_t>(maxLines, 1);
  m_maxCharacters = std::max<size_t>(maxCharacters, 1);
  trimLocked();
}

size_t TLogHistoryQueue::Lines() const {
  std::lock_guard lock(m_mutex);
  return m_lines.size();
}

size_t TLogHistoryQueue::Characters() const {
  std::lock_guard lock(m_mutex);
  return m_characters;
}

void TLogHistoryQueue::trimLocked() {
  while (m_lines.size() > 1 && (m_lines.size() > m_maxLines || m_characters > m_maxCharacters)) {
    m_characters -= WithBreak(m_lines.front());
    m_lines.pop_front();
  }
}

}  // namespace tessarine::shell
