#include "net/io_handler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <limits>
#include <string>
#include <thread>

#include "common/stream.h"
#include "common/string_list.h"
#include "loopback_fixture.h"
#include "net/exceptions.h"
#include "net/tcp_connection.h"

namespace tessarine::net {
namespace {

using namespace std::chrono_literals;
using testing::ExpectRaises;
using testing::kWaitLimit;

class IOTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_pair = testing::LoopbackPair::Connect();
    // A read that would wait for ever ends as a timeout and fails the test instead of hanging it.
    io().SetReadTimeout(10000);
  }
  TIdIOHandlerStack& io() { return *m_pair.handler; }
  testing::RawSocket& peer() { return m_pair.peer; }

  // Starts read on another thread and checks that it is still waiting after the peer sent first.
  template <typename Read>
  auto ReadAcross(Read read, std::string_view first, std::string_view second) {
    auto reading = std::async(std::launch::async, read);
    peer().Send(first);
    EXPECT_EQ(reading.wait_for(20ms), std::future_status::timeout);
    peer().Send(second);
    return reading.get();
  }

  testing::LoopbackPair m_pair;
};

using ReadLnTest = IOTest;

TEST_F(ReadLnTest, CrLfAndBareLf) {
  peer().Send("GET / HTTP/1.1\r\nbare\na\rb\nx\r\r\n\n");
  EXPECT_EQ(io().ReadLn(), u"GET / HTTP/1.1");
  EXPECT_EQ(io().ReadLn(), u"bare");
  EXPECT_EQ(io().ReadLn(), u"a\rb");
  EXPECT_EQ(io().ReadLn(), u"x\r");
  EXPECT_EQ(io().ReadLn(), u"");
  EXPECT_TRUE(io().InputBufferIsEmpty());
}

TEST_F(ReadLnTest, TerminatorSplitAcrossReceives) {
  EXPECT_EQ(ReadAcross([&] { return io().ReadLn(); }, "Host: a\r", "\nnext"), u"Host: a");
  EXPECT_EQ(ReadAcross([&] { return io().ReadLn(u"<END>"); }, "abc<EN", "D>"), u"nextabc");
}

TEST_F(ReadLnTest, LimitWithBareLfAndWithCrLf) {
  peer().Send(std::string(16384, 'a') + "\n" + std::string(16383, 'b') + "\r\n" + std::string(16384, 'c') + "\r\n");
  EXPECT_EQ(io().ReadLn().size(), 16384u);
  EXPECT_EQ(io().ReadLn().size(), 16383u);
  ExpectRaises<EIdReadLnMaxLineLengthExceeded>([&] { io().ReadLn(); }, u"Max line length exceeded.");
}

TEST_F(ReadLnTest, OverlongLineRaisesWithoutWaitingForItsEnd) {
  // The peer stays silent after the bytes: a reader waiting for LF would time out instead.
  peer().Send(std::string(16384, 'a'));
  EXPECT_EQ(io().ReadLn(u"\n", 50), u"");
  EXPECT_TRUE(io().ReadLnTimedOut());
  peer().Send("a");
  EXPECT_THROW(io().ReadLn(), EIdReadLnMaxLineLengthExceeded);
}

TEST_F(ReadLnTest, SplitModeCutsAtTheLimit) {
  io().SetMaxLineAction(maSplit);
  peer().Send(std::string(16384, 'a') + std::string(3616, 'b') + "\r\n");
  EXPECT_EQ(io().ReadLn(), std::u16string(16384, u'a'));
  EXPECT_TRUE(io().ReadLnSplit());
  EXPECT_EQ(io().ReadLn(), std::u16string(3616, u'b'));
  EXPECT_FALSE(io().ReadLnSplit());
}

TEST_F(ReadLnTest, TimeoutReturnsEmptyAndFlags) {
  io().SetReadTimeout(50);
  EXPECT_EQ(io().ReadLn(), u"");
  EXPECT_TRUE(io().ReadLnTimedOut());
  peer().Send("late\n");
  EXPECT_EQ(io().ReadLn(), u"late");
  EXPECT_FALSE(io().ReadLnTimedOut());
}

TEST_F(ReadLnTest, Encodings) {
  peer().Send("caf\xc3\xa9\ncaf\xc3\xa9\n");
  EXPECT_EQ(io().ReadLn(), u"caf\uFFFD\uFFFD");
  EXPECT_EQ(io().ReadLn(IndyTextEncoding_UTF8()), u"caf\u00e9");
  io().Write(u"d\u00e9j\u00e0\r\n");
  EXPECT_EQ(peer().Receive(6), "d?j?\r\n");
}

using DisconnectTest = IOTest;

TEST_F(DisconnectTest, PeerClosingMidLineKeepsTheBytes) {
  peer().Send("abc");
  peer().ShutdownWrite();
  EXPECT_THROW(io().ReadLn(), EIdConnClosedGracefully);
  EXPECT_EQ(io().InputBuffer().Size(), 3u);
  EXPECT_TRUE(io().ClosedGracefully());
}

TEST_F(DisconnectTest, BufferedLinesRemainReadableAfterClose) {
  peer().Send("one\r\ntwo\r\n");
  peer().Close();
  EXPECT_EQ(io().ReadLn(), u"one");
  ASSERT_TRUE(testing::WaitFor([&] {
    io().Connected();
    return io().ClosedGracefully();
  }));
  EXPECT_FALSE(io().Binding()->HandleAllocated());
  EXPECT_TRUE(io().Connected());
  EXPECT_EQ(io().ReadLn(), u"two");
  EXPECT_FALSE(io().Connected());
  EXPECT_THROW(io().ReadLn(), EIdConnClosedGracefully);
  EXPECT_THROW(io().Write(std::vector<uint8_t>{'x'}), EIdConnClosedGracefully);
  // Kept until the next Open.
  io().InputBuffer().Write(std::string_view("stale"));
  io().Close();
  EXPECT_FALSE(io().InputBufferIsEmpty());
  io().SetHost(u"");
  io().Open();
  EXPECT_TRUE(io().InputBufferIsEmpty());
  EXPECT_FALSE(io().ClosedGracefully());
}

TEST_F(DisconnectTest, ResetPeer) {
  peer().Reset();
  if (test_support::RunningUnderWine()) {
    // Wine's recv returns 0 after a reset where Windows fails with 10054: the read ends as at a close.
    EXPECT_THROW(io().ReadLn(), EIdConnClosedGracefully);
    return;
  }
  ExpectRaises<EIdSocketError>([&] { io().ReadLn(); }, u"Socket Error # 10054\r\nConnection reset by peer.");
}

TEST_F(DisconnectTest, DisconnectFromAnotherThreadEndsABlockedRead) {
  TIdTCPConnection connection;
  connection.SetIOHandler(std::move(m_pair.handler));
  connection.IOHandler()->SetReadTimeout(-1);
  auto reading = std::async(std::launch::async, [&] { return connection.IOHandler()->ReadLn(); });
  EXPECT_EQ(reading.wait_for(30ms), std::future_status::timeout);
  connection.Disconnect(false);
  ASSERT_EQ(reading.wait_for(kWaitLimit), std::future_status::ready);
  EXPECT_THROW(reading.get(), EIdException);
  EXPECT_EQ(peer().Receive(1), "");
}

TEST_F(DisconnectTest, ConnectedPullsPendingBytesIn) {
  peer().Send("hello\n");
  ASSERT_TRUE(testing::WaitFor([&] { return io().CheckForDataOnSource(10); }));
  EXPECT_TRUE(io().Connected());
  EXPECT_EQ(io().ReadLn(), u"hello");
  EXPECT_FALSE(io().CheckForDataOnSource(0));
}

using CaptureTest = IOTest;

std::string HeaderLines(int count) {
  std::string block;
  for (int i = 0; i < count; ++i) block += "X-Line-" + std::to_string(i) + ": v\r\n";
  return block + "\r\n";
}

TEST_F(CaptureTest, StopsAtTheDelimiterWithoutStoringIt) {
  peer().Send("Host: a\r\nAccept: */*\r\n\r\n..dotted\r\n.\r\n");
  TStringList lines;
  io().Capture(lines);
  EXPECT_EQ(lines, (TStringList{u"Host: a", u"Accept: */*"}));
  TStringList dotted;
  io().Capture(dotted, u".", true);
  EXPECT_EQ(dotted, TStringList{u".dotted"});
}

TEST_F(CaptureTest, LimitStoresOneMoreThanMaximum) {
  io().SetMaxCapturedLines(1024);
  peer().Send(HeaderLines(1025) + HeaderLines(1026));
  TStringList lines;
  io().Capture(lines);
  EXPECT_EQ(lines.Count(), 1025);
  lines.Clear();
  ExpectRaises<EIdMaxCaptureLineExceeded>([&] { io().Capture(lines); }, u"Maximum number of line allowed exceeded");
  EXPECT_EQ(lines.Count(), 1025);
}

using ReadBytesTest = IOTest;

TEST_F(ReadBytesTest, ExactCountAcrossReceives) {
  auto read = [&] {
    std::vector<uint8_t> bytes{'<'};
    io().ReadBytes(bytes, 6);
    return std::string(bytes.begin(), bytes.end());
  };
  EXPECT_EQ(ReadAcross(read, "abc", "defgh"), "<abcdef");
  std::vector<uint8_t> rest{'x'};
  io().ReadBytes(rest, -1, false);
  EXPECT_EQ(std::string(rest.begin(), rest.end()), "gh");
}

TEST_F(ReadBytesTest, TimeoutAndCloseBeforeTheCount) {
  std::vector<uint8_t> bytes;
  io().SetReadTimeout(30);
  EXPECT_THROW(io().ReadBytes(bytes, 1), EIdReadTimeout);
  peer().Send("ab");
  peer().Close();
  EXPECT_THROW(io().ReadBytes(bytes, 3), EIdConnClosedGracefully);
  EXPECT_EQ(io().InputBuffer().Size(), 2u);
}

TEST_F(ReadBytesTest, TheDeadlineEndsReadsThatKeepReceiving) {
  std::atomic<bool> stop{false};
  // A byte every 10 ms: the read limit of 10 s is never reached.
  std::thread trickle([&] {
    while (!stop) {
      ::send(peer().Fd(), "x", 1, test_support::kSendNoSignal);
      std::this_thread::sleep_for(10ms);
    }
  });
  io().SetDeadline(std::chrono::steady_clock::now() + 200ms);
  std::vector<uint8_t> bytes;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(io().ReadBytes(bytes, 1000), EIdReadTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  // Past the deadline a line read reports its time-out at once; a check that does not wait still works.
  EXPECT_EQ(io().ReadLn(), u"");
  EXPECT_TRUE(io().ReadLnTimedOut());
  EXPECT_TRUE(io().Connected());
  io().SetDeadline(std::nullopt);
  io().ReadBytes(bytes, 1);
  stop = true;
  trickle.join();
}

// Records the largest size a stream was ever asked to take.
class WatchedStream : public TMemoryStream {
 public:
  void SetSize(int64_t size) override {
    m_largestSetSize = std::max(m_largestSetSize, size);
    TMemoryStream::SetSize(size);
  }
  int64_t m_largestSetSize = 0;
};

using ReadStreamTest = IOTest;

TEST_F(ReadStreamTest, KnownCountTakesBufferedBytesFirst) {
  const std::string body(300000, 'z');
  peer().Send("head\nbody-");
  EXPECT_EQ(io().ReadLn(), u"head");
  auto sending = std::async(std::launch::async, [&] { peer().Send(body + "after"); });
  TMemoryStream stream;
  io().ReadStream(&stream, 5 + static_cast<int64_t>(body.size()));
  sending.get();
  EXPECT_EQ(stream.Size(), 5 + static_cast<int64_t>(body.size()));
  std::vector<uint8_t> rest;
  io().ReadBytes(rest, 5);
  EXPECT_EQ(std::string(rest.begin(), rest.end()), "after");
}

TEST_F(ReadStreamTest, HugeAnnouncedLengthIsNotAllocated) {
  peer().Send("0123456789");
  peer().Close();
  WatchedStream stream;
  EXPECT_THROW(io().ReadStream(&stream, int64_t{1} << 40), EIdConnClosedGracefully);
  EXPECT_EQ(stream.Size(), 10);
  EXPECT_LE(stream.m_largestSetSize, 10);
}

TEST_F(ReadStreamTest, TargetPastTheLargestSizeRaises) {
  TMemoryStream stream;
  stream.SetPosition(std::numeric_limits<int64_t>::max() - 5);
  ExpectRaises<EIdIOHandlerStreamDataTooLarge>([&] { io().ReadStream(&stream, 10); }, u"Data is too large for stream");
}

TEST_F(ReadStreamTest, UntilDisconnectEndsQuietly) {
  auto sending = std::async(std::launch::async, [&] {
    peer().Send(std::string(100000, 'q'));
    peer().Close();
  });
  TMemoryStream stream;
  io().ReadStream(&stream, -1, true);
  sending.get();
  EXPECT_EQ(stream.Size(), 100000);
}

TEST_F(ReadStreamTest, UntilDisconnectEndsQuietlyOnReset) {
  peer().Reset();
  EXPECT_NO_THROW(io().DiscardAll());
}

TEST_F(ReadStreamTest, Discard) {
  peer().Send("skip-me|keep\n");
  io().Discard(8);
  EXPECT_EQ(io().ReadLn(), u"keep");
}

using WriteTest = IOTest;

TEST_F(WriteTest, LinesGoOutAsOneBlock) {
  io().Write(TStringList{u"HTTP/1.1 200 OK", u"Connection: close", u""});
  EXPECT_EQ(peer().Receive(39), "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
  EXPECT_FALSE(io().WriteBufferingActive());
}

TEST_F(WriteTest, BufferHoldsBytesUntilClosed) {
  io().WriteBufferOpen();
  io().Write(u"abc");
  io().WriteLn(u"def");
  EXPECT_FALSE(peer().HasInput(30ms));
  io().WriteBufferClose();
  EXPECT_EQ(peer().Receive(8), "abcdef\r\n");
}

TEST_F(WriteTest, ThresholdSendsWholeBlocksAndCancelDrops) {
  io().WriteBufferOpen(4);
  io().Write(u"0123456789");
  EXPECT_EQ(peer().Receive(8), "01234567");
  EXPECT_FALSE(peer().HasInput(30ms));
  io().WriteBufferCancel();
  io().Write(u"sent");
  EXPECT_EQ(peer().Receive(4), "sent");
  io().WriteBufferOpen();
  io().Write(u"lost");
  io().Close();
  EXPECT_EQ(peer().Receive(100), "");
}

TEST_F(WriteTest, Streams) {
  TMemoryStream stream(std::vector<uint8_t>{'a', 'b', 'c', 'd', 'e'});
  stream.SetPosition(3);
  io().Write(stream);
  EXPECT_EQ(peer().Receive(5), "abcde");
  stream.SetPosition(3);
  io().Write(stream, -1);
  EXPECT_EQ(peer().Receive(2), "de");
  stream.SetPosition(1);
  io().Write(stream, 2, true);
  EXPECT_EQ(peer().Receive(6), std::string("\0\0\0\x02"
                                           "bc",
                                           6));
  ExpectRaises<EIdNoDataToRead>([&] { io().Write(stream, 5); }, u"No data to read.");
}

}  // namespace
}  // namespace tessarine::net
