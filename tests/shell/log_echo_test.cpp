// The --log echo: lines from many threads arrive whole and in order, one entry to a line with its controls
// made visible, and a reader that takes nothing (or has gone) holds up neither the threads that log nor the
// end of the program, nor makes the queue grow beyond its bounds.

#include "shell/log_echo.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"

namespace tessarine::shell::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A pipe, or a socket pair (what a journald standard error is).
struct Pipe {
  enum TKind { kPipe, kSocketPair };
  explicit Pipe(TKind kind = kPipe) {
    int fds[2];
    if (kind == kPipe ? ::pipe2(fds, O_CLOEXEC) != 0 : ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
      throw std::runtime_error("pipe2 or socketpair failed");
    }
    Read = fds[0];
    Write = fds[1];
  }
  ~Pipe() {
    CloseRead();
    if (Write >= 0) ::close(Write);
  }
  void CloseRead() {
    if (Read >= 0) ::close(Read);
    Read = -1;
  }
  // Everything until every writer has gone.
  std::string ReadAll() const {
    std::string all;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(Read, buffer, sizeof buffer)) > 0) all.append(buffer, static_cast<size_t>(n));
    return all;
  }
  // Ends the writing side, then reads everything.
  std::string CloseWriteAndReadAll() {
    ::close(Write);
    Write = -1;
    return ReadAll();
  }
  int Read = -1;
  int Write = -1;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A 100-byte line numbered i.
std::u16string Long(int i) { return u"line " + IntToStr(i) + u" " + std::u16string(90, u'x'); }

TEST(LogEchoTest, LinesFromManyThreadsArriveWholeAndInOrder) {
  Pipe pipe;
  std::string received;
  std::thread reader([&] { received = pipe.ReadAll(); });
  constexpr int kThreads = 8;
  constexpr int kLines = 2000;
  {
    TLogEcho echo(pipe.Write);
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&echo, t] {
        for (int i = 0; i < kLines; ++i) echo.Add(u"Результат " + IntToStr(t) + u" " + IntToStr(i));
      });
    }
    for (std::thread& writer : writers) writer.join();
  }  // everything queued is written before the echo ends
  ::close(pipe.Write);
  pipe.Write = -1;
  reader.join();

  std::map<int, int> next;
  int count = 0;
  for (const std::string& line : Lines(received)) {
    int thread = -1;
    int index = -1;
    ASSERT_EQ(
        std::sscanf(line.c_str(), "\xD0\xA0\xD0\xB5\xD0\xB7\xD1\x83\xD0\xBB\xD1\x8C\xD1\x82\xD0\xB0\xD1\x82 %d %d",
                    &thread, &index),
        2)
        << line;
    ASSERT_EQ(index, next[thread]) << line;
    ++next[thread];
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

// The pipe holds 4 KB and nobody reads it: logging goes on at once, the lines beyond the queue are dropped,
// and the end waits no longer than it was given. What did go through is whole lines, from the first.
TEST(LogEchoTest, APipeNobodyReadsHoldsUpNoOne) {
  Pipe pipe;
  ::fcntl(pipe.Write, F_SETPIPE_SZ, 4096);
  const Clock::time_point start = Clock::now();
  {
    TLogEcho echo(pipe.Write, {.MaxLines = 100, .StopWait = 200ms});
    for (int i = 0; i < 10000; ++i) echo.Add(Long(i));
    EXPECT_LT(Clock::now() - start, 5s);
  }
  EXPECT_LT(Clock::now() - start, 5s);

  const std::string received = pipe.CloseWriteAndReadAll();
  ASSERT_FALSE(received.empty());
  EXPECT_EQ(received.back(), '\n');
  const std::vector<std::string> lines = Lines(received);
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], ToUtf8(Long(static_cast<int>(i))));
}

// Text from the network cannot move the cursor, retitle or clear the terminal, or start a line of its own:
// each entry is one line, its controls escaped, and a backslash of its own is doubled so no escape is forged.
TEST(LogEchoTest, EachEntryIsOneLineWithItsControlsMadeVisible) {
  Pipe pipe(Pipe::kSocketPair);
  {
    TLogEcho echo(pipe.Write);
    echo.Add(u"hi\x1b]0;pwned\x07\x1b[2J\nGoogle: forged line");
    echo.Add(u"a\tb\r\nc\x7f\u009b2J\u0085\u2028\u202e\u2066end");
    echo.Add(u"C:\\x1b \\ Привет 😀");
    echo.Add(std::u16string(u"nul\0;", 5));
  }
  EXPECT_EQ(pipe.CloseWriteAndReadAll(),
            "hi\\x1b]0;pwned\\x07\\x1b[2J\\nGoogle: forged line\n"
            "a\tb\\r\\nc\\x7f\\u009b2J\\u0085\\u2028\\u202e\\u2066end\n"
            "C:\\\\x1b \\\\ \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xF0\x9F\x98\x80\n"
            "nul\\x00;\n");
}

// A reader that falls behind, then catches up: every line is either written, in order, or counted in a
// line that says how many were dropped. The queue holds no more than its bound meanwhile, in lines and in
// characters alike: what gets through is what the pipe, the batch being written and the queue hold.
TEST(LogEchoTest, DroppedLinesAreCountedWhereTheyWereLost) {
  constexpr int kLines = 1000;
  for (const TLogEcho::TLimits limits : {TLogEcho::TLimits{.MaxLines = 50, .StopWait = 10s},
                                         TLogEcho::TLimits{.MaxCharacters = 50 * 101, .StopWait = 10s}}) {
    Pipe pipe;
    ::fcntl(pipe.Write, F_SETPIPE_SZ, 4096);
    std::string received;
    std::thread reader;
    {
      TLogEcho echo(pipe.Write, limits);
      for (int i = 0; i < kLines; ++i) echo.Add(Long(i));
      reader = std::thread([&] { received = pipe.ReadAll(); });
    }
    ::close(pipe.Write);
    pipe.Write = -1;
    reader.join();

    int written = 0;
    int dropped = 0;
    int last = -1;
    for (const std::string& line : Lines(received)) {
      int n = 0;
      if (std::sscanf(line.c_str(), "(%d log lines dropped", &n) == 1) {
        dropped += n;
        continue;
      }
      ASSERT_EQ(std::sscanf(line.c_str(), "line %d", &n), 1) << line;
      ASSERT_GT(n, last);
      last = n;
      ++written;
    }
    EXPECT_LE(written, 4096 / 101 + 2 * 50 + 1) << limits.MaxLines;
    EXPECT_EQ(written + dropped, kLines);
  }
}

// The reader has gone: the lines are given up at once, without a SIGPIPE, which would end the program.
TEST(LogEchoTest, AReaderThatHasGoneEndsNothing) {
  Pipe pipe(Pipe::kSocketPair);
  pipe.CloseRead();
  const Clock::time_point start = Clock::now();
  {
    TLogEcho echo(pipe.Write, {.StopWait = 10s});
    for (int i = 0; i < 1000; ++i) echo.Add(Long(i));
  }
  EXPECT_LT(Clock::now() - start, 5s);
}

}  // namespace
}  // namespace tessarine::shell::testing
