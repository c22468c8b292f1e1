// The Win32 log text: entries in order with their inner breaks as CR LF, whole oldest entries trimmed to the
// history limit (the newest always kept), and Clear dropping what waits as well.

#include <gtest/gtest.h>

#include <string>

#include "shell/log_history_queue.h"
#include "ui/win32/log_memo.h"

namespace tessarine::ui::win32 {
namespace {

class LogMemoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 300, 200, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(parent, nullptr);
  }
  void TearDown() override { DestroyWindow(parent); }

  HWND parent = nullptr;
  shell::TLogHistoryQueue queue{shell::kLogHistoryLines, shell::kLogHistoryCharacters};
};

TEST_F(LogMemoTest, ShowsEntriesInOrderWithTheirBreaks) {
  TLogMemo memo(parent, queue, 0, 0, 300, 200);
  queue.Push(u"Получение данных");
  queue.Push(u"one\ntwo\r\nthree\rfour\u2028five");
  memo.FlushPending();
  queue.Push(u"last");
  EXPECT_EQ(memo.Text(), u"Получение данных\r\none\r\ntwo\r\nthree\r\nfour\r\nfive\r\n");
  memo.FlushPending();
  EXPECT_EQ(memo.Text(), u"Получение данных\r\none\r\ntwo\r\nthree\r\nfour\r\nfive\r\nlast\r\n");

  queue.Push(u"waiting");
  memo.ClearLog();
  memo.FlushPending();
  EXPECT_EQ(memo.Text(), u"");
}

TEST_F(LogMemoTest, KeepsTheNewestWholeEntriesWithinTheLimit) {
  TLogMemo memo(parent, queue, 0, 0, 300, 200);
  // More than an edit control holds by default, so the limit is the history's, not the control's.
  const std::u16string longLine(40000, u'x');
  queue.Push(longLine);
  memo.FlushPending();
  EXPECT_EQ(memo.Text().size(), longLine.size() + 2);

  memo.SetHistoryLimit(2, 100);
  EXPECT_EQ(memo.Text(), longLine + u"\r\n") << "the newest entry stays, however long";
  queue.Push(u"a\nb");  // one entry: four characters with its break, shown as five
  queue.Push(u"c");
  memo.FlushPending();
  EXPECT_EQ(memo.Text(), u"a\r\nb\r\nc\r\n");
  queue.Push(u"d");
  memo.FlushPending();
  EXPECT_EQ(memo.Text(), u"c\r\nd\r\n") << "lines";
  memo.SetHistoryLimit(10, 3);
  EXPECT_EQ(memo.Text(), u"d\r\n") << "characters";
}

}  // namespace
}  // namespace tessarine::ui::win32
