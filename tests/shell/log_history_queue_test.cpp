// The log panel's queue: it holds no more than its limit however much is logged before the panel takes the
// lines, keeping the newest whole lines in each thread's order.

#include "shell/log_history_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"

namespace tessarine::shell::testing {
namespace {

std::deque<std::u16string> Numbered(int from, int to) {
  std::deque<std::u16string> lines;
  for (int i = from; i < to; ++i) lines.push_back(u"line " + IntToStr(i));
  return lines;
}

TEST(LogHistoryQueueTest, HoldsTheNewestLinesWithinItsLimit) {
  TLogHistoryQueue queue(100, 1000000);
  for (int i = 0; i < 10000; ++i) queue.Push(u"line " + IntToStr(i));
  EXPECT_EQ(queue.Lines(), 100u);
  EXPECT_EQ(queue.Characters(), 100u * 10);  // "line 99xx" and its break
  EXPECT_EQ(queue.TakeAll(), Numbered(9900, 10000));
  EXPECT_EQ(queue.Lines(), 0u);
  EXPECT_EQ(queue.Characters(), 0u);

  // Characters bound it too, and a smaller limit cuts what waits at once; the newest line stays even when it
  // is longer than the limit.
  for (int i = 0; i < 100; ++i) queue.Push(u"line " + IntToStr(1000 + i));
  queue.SetLimit(100, 55);
  EXPECT_EQ(queue.Lines(), 5u);
  EXPECT_EQ(queue.Characters(), 50u);
  queue.Push(std::u16string(80, u'x'));
  EXPECT_EQ(queue.TakeAll(), std::deque<std::u16string>{std::u16string(80, u'x')});
}

// Threads push while another takes the lines in batches: what is taken keeps each thread's order, and the
// queue never holds more than its limit.
TEST(LogHistoryQueueTest, ManyThreadsPushWhileOneTakes) {
  constexpr int kThreads = 8;
  constexpr int kLines = 5000;
  constexpr size_t kLimit = 200;
  TLogHistoryQueue queue(kLimit, 1000000);
  std::atomic<int> finished{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) queue.Push(IntToStr(t) + u" " + IntToStr(i));
      ++finished;
    });
  }
  std::vector<int> next(kThreads, 0);
  size_t most = 0;
  size_t taken = 0;
  bool done = false;
  while (!done) {
    done = finished == kThreads;  // read before the last take, so that take sees every line
    most = std::max(most, queue.Lines());
    for (const std::u16string& line : queue.TakeAll()) {
      int thread = 0;
      int index = 0;
      std::sscanf(ToUtf8(line).c_str(), "%d %d", &thread, &index);
      EXPECT_GE(index, next[static_cast<size_t>(thread)]) << ToUtf8(line);
      next[static_cast<size_t>(thread)] = index + 1;
      ++taken;
    }
  }
  for (std::thread& writer : writers) writer.join();
  EXPECT_LE(most, kLimit);
  EXPECT_GE(taken, kLimit);
}

}  // namespace
}  // namespace tessarine::shell::testing
