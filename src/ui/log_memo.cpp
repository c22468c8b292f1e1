#include "ui/log_memo.h"

#include <QHideEvent>
#include <QShowEvent>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <utility>

#include "ui/qt_text.h"

namespace tessarine::ui {

namespace {

// How often a visible panel takes in the queued lines: soon enough to look immediate, seldom enough that
// the text is edited and laid out once per batch rather than once per line.
constexpr int kDrainIntervalMs = 50;

qsizetype WithBreak(const std::u16string& line) { return static_cast<qsizetype>(line.size()) + 1; }

// One entry is one text block, so dropping whole blocks drops whole entries: a break inside an entry (a
// text with a line feed, say) becomes a line separator, which shows and copies as a line break.
void AppendEntry(QString& text, const std::u16string& line) {
  const qsizetype start = text.size();
  text += ToQString(line);
  for (qsizetype i = start; i < text.size(); ++i) {
    const QChar c = text.at(i);
    if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n') {
      text.remove(i + 1, 1);
      text[i] = QChar::LineSeparator;
    } else if (c == u'\n' || c == u'\r' || c == QChar::ParagraphSeparator) {
      text[i] = QChar::LineSeparator;
    }
  }
}

}  // namespace

TLogMemo::TLogMemo(shell::TLogHistoryQueue& pending, QWidget* parent) : QPlainTextEdit(parent), m_pending(pending) {
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  // An undo history would keep a second copy of every line, and of every line the limit removes.
  document()->setUndoRedoEnabled(false);
  m_drainTimer.setInterval(kDrainIntervalMs);
  connect(&m_drainTimer, &QTimer::timeout, this, &TLogMemo::FlushPending);
}

void TLogMemo::ClearLog() {
  m_pending.TakeAll();
  clear();
}

void TLogMemo::FlushPending() {
  const std::deque<std::u16string> lines = m_pending.TakeAll();
  if (lines.empty()) return;
  appendLines(lines);
  trimText();
  // The caret follows the newest line, also when the user was reading older ones.
  moveCursor(QTextCursor::End);
  ensureCursorVisible();
}

void TLogMemo::SetHistoryLimit(qsizetype maxLines, qsizetype maxCharacters) {
  m_maxLines = std::max<qsizetype>(maxLines, 1);
  m_maxCharacters = std::max<qsizetype>(maxCharacters, 1);
  m_pending.SetLimit(static_cast<size_t>(m_maxLines), static_cast<size_t>(m_maxCharacters));
  trimText();
}

void TLogMemo::showEvent(QShowEvent* event) {
  QPlainTextEdit::showEvent(event);
  // Before the first paint, so the window never shows the text without the lines logged while it was hidden.
  FlushPending();
  m_drainTimer.start();
}

void TLogMemo::hideEvent(QHideEvent* event) {
  QPlainTextEdit::hideEvent(event);
  m_drainTimer.stop();
}

void TLogMemo::appendLines(const std::deque<std::u16string>& lines) {
  // An empty text or one ending in a line break gets "line" + break; after an unfinished last line (the
  // user typed it) a break goes first and the line stays unfinished, as every later line then does.
  const QTextBlock last = document()->lastBlock();
  const bool atLineStart = last.length() <= 1;
  qsizetype length = 0;
  for (const std::u16string& line : lines) length += WithBreak(line);
  QString text;
  text.reserve(length);
  for (const std::u16string& line : lines) {
    if (!atLineStart) text += u'\n';
    AppendEntry(text, line);
    if (atLineStart) text += u'\n';
  }
  QTextCursor cursor(document());
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(text);
}

void TLogMemo::trimText() {
  QTextDocument* doc = document();
  // A text that ends with a break has an empty last block, which is no line.
  qsizetype lines = doc->blockCount() - (doc->lastBlock().length() <= 1 ? 1 : 0);
  qsizetype characters = doc->characterCount() - 1;
  int cut = 0;
  for (QTextBlock block = doc->firstBlock(); block.isValid() && lines > 1; block = block.next()) {
    if (lines <= m_maxLines && characters <= m_maxCharacters) break;
    --lines;
    characters -= block.length();
    cut = block.position() + block.length();
  }
  if (cut == 0) return;
  QTextCursor cursor(doc);
  cursor.setPosition(cut, QTextCursor::KeepAnchor);
  cursor.removeSelectedText();
}

}  // namespace tessarine::ui
