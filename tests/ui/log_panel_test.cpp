// The log panel: appending at the end from any thread, the user's own text, clearing, and switching the
// server off while threads log and an engine call hangs.

#include <QScrollBar>
#include <algorithm>
#include <atomic>
#include <thread>

#include "form_fixture.h"
#include "support/raw_socket.h"

namespace tessarine::ui::testing {
namespace {

std::u16string Text(TForm1& f) {
  f.sMemo1->FlushPending();
  return FromQString(f.sMemo1->toPlainText());
}

TEST_F(FormTest, LinesAreAppendedAtTheEndEachWithALineBreak) {
  TForm1& f = create();
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

// Many lines share a text block (a block per line would cost far more than the text), yet the text reads
// as one line per entry, also around a line the user typed in between.
TEST_F(FormTest, ManyLinesShareBlocksAndStillReadAsLines) {
  TForm1& f = create();
  std::u16string expected;
  for (int i = 0; i < 40; ++i) {
    const std::u16string line = u"line " + FromUtf8(std::to_string(i));
    f.AddLogLine(line);
    expected += line + u"\n";
  }
  EXPECT_EQ(Text(f), expected);
  EXPECT_LE(f.sMemo1->document()->blockCount(), 4);

  f.sMemo1->moveCursor(QTextCursor::End);
  f.sMemo1->insertPlainText(QStringLiteral("typed"));
  f.AddLogLine(u"after");
  EXPECT_EQ(Text(f), expected + u"typed\nafter");
  f.N2->trigger();
  f.AddLogLine(u"x");
  EXPECT_EQ(Text(f), u"x\n");
}

TEST_F(FormTest, ClearingDropsLinesStillOnTheirWay) {
  TForm1& f = create();
  f.AddLogLine(u"old");
  Text(f);
  f.AddLogLine(u"queued");
  f.N2->trigger();
  EXPECT_EQ(Text(f), u"");
  f.AddLogLine(u"new");
  ASSERT_TRUE(ProcessEventsUntil([&] { return !f.sMemo1->toPlainText().isEmpty(); }));
  QCoreApplication::processEvents();
  EXPECT_EQ(Text(f), u"new\n");
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
