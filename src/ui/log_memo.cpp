#include "ui/log_memo.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>

#include "ui/qt_text.h"

namespace tessarine::ui {

namespace {

// At most this many lines per turn of the event loop: one text insertion of a few hundred lines costs a
// few milliseconds, so timers, painting and the menu keep running under any load.
constexpr size_t kLinesPerBatch = 512;

// Lines inside one text block are separated by line separators (shown and copied as line breaks): every
// block carries a layout of a few hundred bytes once shown, so a block per line would let a day's log cost
// several times its text.
constexpr qsizetype kLinesPerBlock = 16;

}  // namespace

TLogMemo::TLogMemo(QWidget* parent) : QPlainTextEdit(parent) {
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  // The log only grows; an undo history would keep a second copy of every line.
  document()->setUndoRedoEnabled(false);
}

void TLogMemo::AddLogLine(const std::u16string& line) {
  bool post = false;
  {
    std::lock_guard lock(m_mutex);
    m_pending.push_back(line);
    if (!m_drainPosted) {
      m_drainPosted = true;
      post = true;
    }
  }
  if (post) QMetaObject::invokeMethod(this, &TLogMemo::drainSome, Qt::QueuedConnection);
}

void TLogMemo::ClearLog() {
  {
    std::lock_guard lock(m_mutex);
    m_pending.clear();
  }
  clear();
}

void TLogMemo::FlushPending() {
  std::vector<std::u16string> lines;
  {
    std::lock_guard lock(m_mutex);
    lines.swap(m_pending);
  }
  if (!lines.empty()) appendBatch(lines);
}

void TLogMemo::drainSome() {
  std::vector<std::u16string> lines;
  bool more = false;
  {
    std::lock_guard lock(m_mutex);
    if (m_pending.size() <= kLinesPerBatch) {
      lines.swap(m_pending);
    } else {
      const auto cut = m_pending.begin() + static_cast<std::ptrdiff_t>(kLinesPerBatch);
      lines.assign(std::make_move_iterator(m_pending.begin()), std::make_move_iterator(cut));
      m_pending.erase(m_pending.begin(), cut);
      more = true;
    }
    // Whoever appends next posts a new drain unless this one goes on.
    m_drainPosted = more;
  }
  if (!lines.empty()) appendBatch(lines);
  if (more) QMetaObject::invokeMethod(this, &TLogMemo::drainSome, Qt::QueuedConnection);
}

void TLogMemo::appendBatch(const std::vector<std::u16string>& lines) {
  QTextCursor cursor(document());
  cursor.movePosition(QTextCursor::End);
  // An empty text or one ending in a line break gets "line" + break; after an unfinished last line (the
  // user typed it) a break goes first and the line stays unfinished, as every later line then does.
  const QString lastBlock = cursor.block().text();
  const bool atLineStart = lastBlock.isEmpty() || lastBlock.back() == QChar::LineSeparator;
  qsizetype inBlock = lastBlock.count(QChar::LineSeparator);
  const auto lineBreak = [&inBlock] {
    if (++inBlock < kLinesPerBlock) return QChar(QChar::LineSeparator);
    inBlock = 0;
    return QChar(u'\n');
  };
  size_t length = 0;
  for (const std::u16string& line : lines) length += line.size() + 1;
  QString text;
  text.reserve(static_cast<qsizetype>(length));
  for (const std::u16string& line : lines) {
    if (!atLineStart) text += lineBreak();
    text += ToQString(line);
    if (atLineStart) text += lineBreak();
  }
  cursor.insertText(text);
  setTextCursor(cursor);
  ensureCursorVisible();
}

}  // namespace tessarine::ui
