// The log panel: appending at the end from any thread, the user's own text, clearing, the history limit,
// nothing done while hidden and everything there once shown, and switching the server off while threads log
// and an engine call hangs.

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
  f.N1->trigger();  // shown, so the event loop brings the lines in
  f.AddLogLine(u"first");
  f.AddLogLine(u"");
  f.AddLogLine(u"Получение данных");
  ASSERT_TRUE(ProcessEventsUntil([&] { return f.sMemo1->toPlainText().endsWith(QStringLiteral("данных\n")); }));
  EXPECT_EQ(Text(f), u"first\n\nПолучение данных\n");
  EXPECT_TRUE(f.sMemo1->textCursor().atEnd());
}

TEST_F(FormTest, TypedTextStaysAndTheNextLineStartsAfterIt) {
  TForm1& f = create();
  f.AddLogLine(u"a");
  Text(f);
  f.sMemo1->moveCursor(QTextCursor::End);
  f.sMemo1->insertPlainText(QStringLiteral("typed"));
  f.sMemo1->moveCursor(QTextCursor::Start);
  f.AddLogLine(u"b");
  f.AddLogLine(u"c");
  EXPECT_EQ(Text(f), u"a\ntyped\nb\nc");
  EXPECT_TRUE(f.sMemo1->textCursor().atEnd()) << "the caret follows the appended text";
}

// Each entry is one text block, also when its text holds line breaks, so the limit drops whole entries; the
// text still reads one line per line, also around a line the user typed in between.
TEST_F(FormTest, AnEntryIsOneBlockAndReadsAsLines) {
  TForm1& f = create();
  f.AddLogLine(u"one\ntwo");
  f.AddLogLine(u"three\r\nfour\rfive");
  EXPECT_EQ(Text(f), u"one\ntwo\nthree\nfour\nfive\n");
  EXPECT_EQ(f.sMemo1->document()->blockCount(), 3);
  f.sMemo1->SetHistoryLimit(1, 1000);
  EXPECT_EQ(Text(f), u"three\nfour\nfive\n");

  f.sMemo1->SetHistoryLimit(TLogMemo::kDefaultMaxLines, TLogMemo::kDefaultMaxCharacters);
  f.sMemo1->moveCursor(QTextCursor::End);
  f.sMemo1->insertPlainText(QStringLiteral("typed"));
  f.AddLogLine(u"after");
  EXPECT_EQ(Text(f), u"three\nfour\nfive\ntyped\nafter");
  f.N2->trigger();
  f.AddLogLine(u"x");
  EXPECT_EQ(Text(f), u"x\n");
}

// Many times the limit, hidden and shown: only the newest lines stay, and the text and its blocks stay
// within the limit all along.
TEST_F(FormTest, HistoryKeepsTheNewestLinesWithinItsLimit) {
  TForm1& f = create();
  QTextDocument& document = *f.sMemo1->document();
  f.sMemo1->SetHistoryLimit(100, 1000000);
  for (int i = 0; i < 10000; ++i) f.AddLogLine(u"line " + IntToStr(i));
  EXPECT_EQ(f.sMemo1->Pending().Lines(), 100u) << "the queue is bound before the panel takes it in";
  EXPECT_EQ(Text(f), Numbered(u"line ", 9900, 10000));
  EXPECT_EQ(document.blockCount(), 101);

  f.N1->trigger();
  for (int round = 1; round <= 20; ++round) {
    for (int i = 0; i < 500; ++i) f.AddLogLine(u"line " + IntToStr(10000 + round * 500 + i));
    const QString last = QStringLiteral("line %1\n").arg(10000 + round * 500 + 499);
    ASSERT_TRUE(ProcessEventsUntil([&] { return f.sMemo1->toPlainText().endsWith(last); }));
    EXPECT_LE(document.blockCount(), 101);
    EXPECT_LE(document.characterCount(), 101 * 11);
  }
  EXPECT_EQ(Text(f), Numbered(u"line ", 20400, 20500));

  // Characters bound it too (a line counts its break); the newest line stays even when longer than that.
  f.sMemo1->SetHistoryLimit(100, 55);
  EXPECT_EQ(Text(f), Numbered(u"line ", 20495, 20500));
  f.AddLogLine(std::u16string(80, u'x'));
  EXPECT_EQ(Text(f), std::u16string(80, u'x') + u"\n");
}

TEST_F(FormTest, ClearingDropsLinesStillOnTheirWay) {
  TForm1& f = create();
  f.AddLogLine(u"old");
  Text(f);
  f.AddLogLine(u"queued");
  f.N2->trigger();
  EXPECT_EQ(Text(f), u"");
  f.AddLogLine(u"new");
  EXPECT_EQ(Text(f), u"new\n");

  // Shown, with thousands of lines from several threads still queued.
  f.N1->trigger();
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&f] {
      for (int i = 0; i < 2000; ++i) f.AddLogLine(u"old " + IntToStr(i));
    });
  }
  for (std::thread& writer : writers) writer.join();
  f.N2->trigger();
  EXPECT_EQ(f.sMemo1->toPlainText(), QString());
  f.AddLogLine(u"after");
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
  f.N1->trigger();
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
        f.AddLogLine(u"t" + IntToStr(t) + u" " + IntToStr(i));
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
  f.N1->trigger();
  f.AddLogLine(u"seen");
  ASSERT_TRUE(ProcessEventsUntil([&] { return !f.sMemo1->toPlainText().isEmpty(); }));
  EXPECT_FALSE(f.close());
  ASSERT_FALSE(f.sMemo1->isVisible());

  for (int i = 0; i < 300; ++i) f.AddLogLine(u"hidden " + IntToStr(i));
  EXPECT_FALSE(TextChangesWithin(f, std::chrono::milliseconds(150))) << "nothing is done while hidden";
  EXPECT_EQ(f.sMemo1->toPlainText(), QStringLiteral("seen\n"));

  f.N1->trigger();
  EXPECT_EQ(FromQString(f.sMemo1->toPlainText()), u"seen\n" + Numbered(u"hidden ", 0, 300));
  EXPECT_TRUE(f.sMemo1->textCursor().atEnd());
  EXPECT_TRUE(f.sMemo1->viewport()->rect().contains(f.sMemo1->cursorRect()));
  EXPECT_GT(f.sMemo1->verticalScrollBar()->value(), 0);
}

// 32 threads log while requests run and the server is switched off with an engine call hanging: nothing
// deadlocks, the hanging call is aborted, and every thread's lines arrive once and in order.
TEST_F(FormTest, ThreadsLogWhileTheServerIsSwitchedOff) {
  TForm1& f = create();
  f.N6->trigger();
  ASSERT_TRUE(f.IdHTTPServer1.Active());
  const uint16_t port = f.ListeningPort();
  upstream.Hold = true;

  // A request whose engine call hangs until aborted.
  std::thread client([port] {
    test_support::RawSocket socket = test_support::RawConnectTo(AF_INET, port);
    socket.Send("GET /linxp_translate_t?text=hang&langpair=en|de HTTP/1.0\r\n\r\n");
    socket.Receive(SIZE_MAX, test_support::kWaitLimit);
  });
  ASSERT_TRUE(test_support::WaitFor([&] { return upstream.Calls() == 1; }));

  constexpr int kThreads = 32;
  constexpr int kLines = 300;
  std::atomic<int> started{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&f, &started, t] {
      ++started;
      for (int i = 0; i < kLines; ++i) f.AddLogLine(u"t" + IntToStr(t) + u" " + IntToStr(i));
    });
  }
  ASSERT_TRUE(test_support::WaitFor([&] { return started == kThreads; }));
  f.N6->trigger();  // blocks the UI thread until every worker has ended
  EXPECT_FALSE(f.IdHTTPServer1.Active());
  EXPECT_GE(upstream.Aborts(), 1);
  for (std::thread& writer : writers) writer.join();
  client.join();
  EXPECT_TRUE(errors.empty());

  std::vector<int> next(kThreads, 0);
  const QStringList lines = ToQString(Text(f)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  int handlerLines = 0;
  for (const QString& line : lines) {
    if (!line.startsWith(QLatin1Char('t')) || !line.contains(QLatin1Char(' '))) {
      ++handlerLines;
      continue;
    }
    const int thread = line.mid(1, line.indexOf(QLatin1Char(' ')) - 1).toInt();
    const int index = line.mid(line.indexOf(QLatin1Char(' ')) + 1).toInt();
    ASSERT_EQ(index, next[static_cast<size_t>(thread)]) << line.toStdString();
    ++next[static_cast<size_t>(thread)];
  }
  EXPECT_EQ(next, std::vector<int>(kThreads, kLines));
  // The aborted request logged the text and language lines (4), nothing after the failed engine call.
  EXPECT_EQ(handlerLines, 4);
}

}  // namespace
}  // namespace tessarine::ui::testing
