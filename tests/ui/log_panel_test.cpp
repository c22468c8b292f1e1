// The log panel: appending at the end from any thread, the user's own text, clearing, the history limit, and
// nothing done while hidden and everything there once shown.

#include <QScrollBar>
#include <QTextBlock>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "form_fixture.h"
#include "support/raw_socket.h"

namespace tessarine::ui::testing {
namespace {

std::u16string Text(TForm1& f) {
  f.sMemo1->FlushPending();
  return FromQString(f.sMemo1->toPlainText());
}

std::u16string Numbered(const char16_t* prefix, int from, int to) {
  std::u16string text;
  for (int i = from; i < to; ++i) text += prefix + IntToStr(i) + u"\n";
  return text;
}

// Splits "t<thread> <index>" lines and checks that each thread's lines are the newest of its own, in order:
// consecutive and ending with its last (only the oldest lines of all are dropped). Returns the lines seen.
int CheckEachThreadsSuffix(const QString& text, int threads, int linesPerThread) {
  std::vector<int> next(static_cast<size_t>(threads), -1);
  int seen = 0;
  for (const QString& line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
    const qsizetype space = line.indexOf(QLatin1Char(' '));
    const size_t thread = static_cast<size_t>(line.mid(1, space - 1).toInt());
    const int index = line.mid(space + 1).toInt();
    EXPECT_TRUE(next[thread] == -1 || index == next[thread]) << line.toStdString();
    next[thread] = index + 1;
    ++seen;
  }
  for (const int n : next) EXPECT_TRUE(n == -1 || n == linesPerThread);
  return seen;
}

// Runs the event loop for a while and reports whether the text changed meanwhile.
bool TextChangesWithin(TForm1& f, std::chrono::milliseconds time) {
  const QString before = f.sMemo1->toPlainText();
  return ProcessEventsUntil([&] { return f.sMemo1->toPlainText() != before; }, time);
}

TEST_F(FormTest, LinesAreAppendedAtTheEndEachWithALineBreak) {
  TForm1& f = create();
  core().N1->Click();  // shown, so the event loop brings the lines in
  f.Core().AddLogLine(u"first");
  f.Core().AddLogLine(u"");
  f.Core().AddLogLine(u"Получение данных");
  ASSERT_TRUE(ProcessEventsUntil([&] { return f.sMemo1->toPlainText().endsWith(QStringLiteral("данных\n")); }));
  EXPECT_EQ(Text(f), u"first\n\nПолучение данных\n");
  EXPECT_TRUE(f.sMemo1->textCursor().atEnd());
}

TEST_F(FormTest, TypedTextStaysAndTheNextLineStartsAfterIt) {
  TForm1& f = create();
  f.Core().AddLogLine(u"a");
  Text(f);
  f.sMemo1->moveCursor(QTextCursor::End);
  f.sMemo1->insertPlainText(QStringLiteral("typed"));
  f.sMemo1->moveCursor(QTextCursor::Start);
  f.Core().AddLogLine(u"b");
  f.Core().AddLogLine(u"c");
  EXPECT_EQ(Text(f), u"a\ntyped\nb\nc");
  EXPECT_TRUE(f.sMemo1->textCursor().atEnd()) << "the caret follows the appended text";
}

// Each entry is one text block, also when its text holds line breaks, so the limit drops whole entries; the
// text still reads one line per line, also around a line the user typed in between.
TEST_F(FormTest, AnEntryIsOneBlockAndReadsAsLines) {
  TForm1& f = create();
  f.Core().AddLogLine(u"one\ntwo");
  f.Core().AddLogLine(u"three\r\nfour\rfive");
  EXPECT_EQ(Text(f), u"one\ntwo\nthree\nfour\nfive\n");
  EXPECT_EQ(f.sMemo1->document()->blockCount(), 3);
  f.sMemo1->SetHistoryLimit(1, 1000);
  EXPECT_EQ(Text(f), u"three\nfour\nfive\n");

  f.sMemo1->SetHistoryLimit(TLogMemo::kDefaultMaxLines, TLogMemo::kDefaultMaxCharacters);
  f.sMemo1->moveCursor(QTextCursor::End);
  f.sMemo1->insertPlainText(QStringLiteral("typed"));
  f.Core().AddLogLine(u"after");
  EXPECT_EQ(Text(f), u"three\nfour\nfive\ntyped\nafter");
  core().N2->Click();
  f.Core().AddLogLine(u"x");
  EXPECT_EQ(Text(f), u"x\n");
}

// Many times the limit, hidden and shown: only the newest lines stay, and the text and its blocks stay
// within the limit all along.
TEST_F(FormTest, HistoryKeepsTheNewestLinesWithinItsLimit) {
  TForm1& f = create();
  QTextDocument& document = *f.sMemo1->document();
  f.sMemo1->SetHistoryLimit(100, 1000000);
  for (int i = 0; i < 10000; ++i) f.Core().AddLogLine(u"line " + IntToStr(i));
  EXPECT_EQ(f.sMemo1->Pending().Lines(), 100u) << "the queue is bound before the panel takes it in";
  EXPECT_EQ(Text(f), Numbered(u"line ", 9900, 10000));
  EXPECT_EQ(document.blockCount(), 101);

  core().N1->Click();
  for (int round = 1; round <= 20; ++round) {
    for (int i = 0; i < 500; ++i) f.Core().AddLogLine(u"line " + IntToStr(10000 + round * 500 + i));
    const QString last = QStringLiteral("line %1\n").arg(10000 + round * 500 + 499);
    ASSERT_TRUE(ProcessEventsUntil([&] { return f.sMemo1->toPlainText().endsWith(last); }));
    EXPECT_LE(document.blockCount(), 101);
    EXPECT_LE(document.characterCount(), 101 * 11);
  }
  EXPECT_EQ(Text(f), Numbered(u"line ", 20400, 20500));

  // Characters bound it too (a line counts its break); the newest line stays even when longer than that.
  f.sMemo1->SetHistoryLimit(100, 55);
  EXPECT_EQ(Text(f), Numbered(u"line ", 20495, 20500));
  f.Core().AddLogLine(std::u16string(80, u'x'));
  EXPECT_EQ(Text(f), std::u16string(80, u'x') + u"\n");
}

TEST_F(FormTest, ClearingDropsLinesStillOnTheirWay) {
  TForm1& f = create();
  f.Core().AddLogLine(u"old");
  Text(f);
  f.Core().AddLogLine(u"queued");
  core().N2->Click();
  EXPECT_EQ(Text(f), u"");
  f.Core().AddLogLine(u"new");
  EXPECT_EQ(Text(f), u"new\n");

  // Shown, with thousands of lines from several threads still queued.
  core().N1->Click();
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&f] {
      for (int i = 0; i < 2000; ++i) f.Core().AddLogLine(u"old " + IntToStr(i));
    });
  }
  for (std::thread& writer : writers) writer.join();
  core().N2->Click();
  EXPECT_EQ(f.sMemo1->toPlainText(), QString());
  f.Core().AddLogLine(u"after");
  ASSERT_TRUE(ProcessEventsUntil([&] { return !f.sMemo1->toPlainText().isEmpty(); }));
  EXPECT_FALSE(TextChangesWithin(f, std::chrono::milliseconds(150)));
  EXPECT_EQ(f.sMemo1->toPlainText(), QStringLiteral("after\n"));
}

// Threads log while the window is shown and the event loop takes the lines in batches (each thread writes
// half its lines, waits until the panel has taken some in, then writes the rest): with a limit far below
// what they write, what stays is the newest lines, each thread's in its own order.
TEST_F(FormTest, LinesOfManyThreadsKeepTheirOrderWithinTheLimit) {
  TForm1& f = create();
  f.sMemo1->SetHistoryLimit(1000, 1000000);
  core().N1->Click();
  constexpr int kThreads = 8;
  constexpr int kLines = 2000;
  std::atomic<int> halfway{0};
  std::atomic<bool> takenIn{false};
  std::atomic<int> finished{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) {
        if (i == kLines / 2) {
          ++halfway;
          test_support::WaitFor([&] { return takenIn.load(); });
        }
        f.Core().AddLogLine(u"t" + IntToStr(t) + u" " + IntToStr(i));
      }
      ++finished;
    });
  }
  ASSERT_TRUE(ProcessEventsUntil([&] { return halfway == kThreads && !f.sMemo1->document()->isEmpty(); }));
  EXPECT_EQ(f.sMemo1->document()->blockCount(), 1001);
  takenIn = true;
  ASSERT_TRUE(ProcessEventsUntil([&] { return finished == kThreads; }));
  for (std::thread& writer : writers) writer.join();
  EXPECT_EQ(CheckEachThreadsSuffix(ToQString(Text(f)), kThreads, kLines), 1000);
  EXPECT_EQ(f.sMemo1->document()->blockCount(), 1001);
}

// Hidden, the panel does nothing with the lines; shown again, it has every one of them before it is painted,
// with the caret after the last and the view on it.
TEST_F(FormTest, ShownAgainTheLogHasEveryLineAtOnce) {
  TForm1& f = create();
  core().N1->Click();
  f.Core().AddLogLine(u"seen");
  ASSERT_TRUE(ProcessEventsUntil([&] { return !f.sMemo1->toPlainText().isEmpty(); }));
  EXPECT_FALSE(f.close());
  ASSERT_FALSE(f.sMemo1->isVisible());

  for (int i = 0; i < 300; ++i) f.Core().AddLogLine(u"hidden " + IntToStr(i));
  EXPECT_FALSE(TextChangesWithin(f, std::chrono::milliseconds(150))) << "nothing is done while hidden";
  EXPECT_EQ(f.sMemo1->toPlainText(), QStringLiteral("seen\n"));

  core().N1->Click();
  EXPECT_EQ(FromQString(f.sMemo1->toPlainText()), u"seen\n" + Numbered(u"hidden ", 0, 300));
  EXPECT_TRUE(f.sMemo1->textCursor().atEnd());
  EXPECT_TRUE(f.sMemo1->viewport()->rect().contains(f.sMemo1->cursorRect()));
  EXPECT_GT(f.sMemo1->verticalScrollBar()->value(), 0);
}

}  // namespace
}  // namespace tessarine::ui::testing
