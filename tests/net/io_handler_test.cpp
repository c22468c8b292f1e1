#include "net/io_handler.h"

#include <gtest/gtest.h>

#include <future>
#include <limits>
#include <string>

#include "common/stream.h"
#include "common/string_list.h"
#include "loopback_fixture.h"
#include "net/exceptions.h"
#include "net/tcp_connection.h"

namespace tessarine::net {
namespace {

using namespace std::chrono_literals;
using testing::kWaitLimit;
using testing::LoopbackPair;

class IOTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_pair = LoopbackPair::Connect();
    // A safety net: a read that would wait for ever ends as a timeout and fails the test instead.
    io().SetReadTimeout(10000);
  }
  TIdIOHandlerStack& io() { return *m_pair.handler; }
  testing::RawSocket& peer() { return m_pair.peer; }

  LoopbackPair m_pair;
};

// Line ends and the line limit
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

TEST_F(ReadLnTest, LineArrivingInPieces) {
  auto line = std::async(std::launch::async, [&] { return io().ReadLn(); });
  peer().Send("Host: exa");
  EXPECT_EQ(line.wait_for(20ms), std::future_status::timeout);
  peer().Send("mple.test\r");
  peer().Send("\nnext");
  EXPECT_EQ(line.get(), u"Host: example.test");
  EXPECT_EQ(io().InputBuffer().Size(), 4u);
}

TEST_F(ReadLnTest, TerminatorSplitAcrossReceives) {
  auto line = std::async(std::launch::async, [&] { return io().ReadLn(u"<END>"); });
  peer().Send("abc<EN");
  EXPECT_EQ(line.wait_for(20ms), std::future_status::timeout);
  peer().Send("D>rest");
  EXPECT_EQ(line.get(), u"abc");
  EXPECT_FALSE(io().ReadLnTimedOut());
}

TEST_F(ReadLnTest, LimitWithBareLf) {
  peer().Send(std::string(16384, 'a') + "\n");
  EXPECT_EQ(io().ReadLn().size(), 16384u);
}

TEST_F(ReadLnTest, LimitCountsTheCr) {
  peer().Send(std::string(16383, 'a') + "\r\n" + std::string(16384, 'b') + "\r\n");
  EXPECT_EQ(io().ReadLn().size(), 16383u);
  try {
    io().ReadLn();
    FAIL() << "no exception";
  } catch (const EIdReadLnMaxLineLengthExceeded& e) {
    EXPECT_EQ(e.Message(), u"Max line length exceeded.");
  }
}

TEST_F(ReadLnTest, OverlongLineRaisesWithoutWaitingForItsEnd) {
  // The peer stays silent after the bytes: a reader that waited for LF would time out instead.
  peer().Send(std::string(16385, 'a'));
  io().SetReadTimeout(kWaitLimit.count() * 1000);
  auto reading = std::async(std::launch::async, [&] { return io().ReadLn(); });
  ASSERT_EQ(reading.wait_for(kWaitLimit), std::future_status::ready);
  EXPECT_THROW(reading.get(), EIdReadLnMaxLineLengthExceeded);
}

TEST_F(ReadLnTest, ExactlyTheLimitWithoutLfWaits) {
  peer().Send(std::string(16384, 'a'));
  EXPECT_EQ(io().ReadLn(u"\n", 100), u"");
  EXPECT_TRUE(io().ReadLnTimedOut());
  peer().Send("\n");
  EXPECT_EQ(io().ReadLn().size(), 16384u);
}

TEST_F(ReadLnTest, SplitModeCutsAtTheLimit) {
  io().SetMaxLineAction(maSplit);
  peer().Send(std::string(16384, 'a') + std::string(3616, 'b') + "\r\nnext\n");
  const std::u16string first = io().ReadLn();
  EXPECT_TRUE(io().ReadLnSplit());
  EXPECT_EQ(first, std::u16string(16384, u'a'));
  EXPECT_EQ(io().ReadLn(), std::u16string(3616, u'b'));
  EXPECT_FALSE(io().ReadLnSplit());
  EXPECT_EQ(io().ReadLn(), u"next");
}

TEST_F(ReadLnTest, OwnMaximumOverridesTheProperty) {
  peer().Send("abcdef\n");
  EXPECT_THROW(io().ReadLn(u"\n", IdTimeoutDefault, 5), EIdReadLnMaxLineLengthExceeded);
}

TEST_F(ReadLnTest, TimeoutReturnsEmptyAndFlags) {
  io().SetReadTimeout(50);
  EXPECT_EQ(io().ReadLn(), u"");
  EXPECT_TRUE(io().ReadLnTimedOut());
  peer().Send("late\n");
  io().SetReadTimeout(10000);
  EXPECT_EQ(io().ReadLn(), u"late");
  EXPECT_FALSE(io().ReadLnTimedOut());
}

TEST_F(ReadLnTest, DefaultEncodingIsAscii) {
  peer().Send("caf\xc3\xa9\n");
  EXPECT_EQ(io().ReadLn(), u"caf\uFFFD\uFFFD");
  io().Write(u"d\u00e9j\u00e0\r\n");
  EXPECT_EQ(peer().Receive(6), "d?j?\r\n");
}

TEST_F(ReadLnTest, LineInAnotherEncoding) {
  peer().Send("caf\xc3\xa9\n");
  EXPECT_EQ(io().ReadLn(IndyTextEncoding_UTF8()), u"caf\u00e9");
}

// End of stream, resets and closes from another thread
using DisconnectTest = IOTest;

TEST_F(DisconnectTest, PeerClosingMidLineKeepsTheBytes) {
  peer().Send("abc");
  peer().ShutdownWrite();
  EXPECT_THROW(io().ReadLn(), EIdConnClosedGracefully);
  EXPECT_EQ(io().InputBuffer().Size(), 3u);
  EXPECT_TRUE(io().ClosedGracefully());
  std::vector<uint8_t> rest;
  io().InputBuffer().ExtractToBytes(rest);
  EXPECT_EQ(std::string(rest.begin(), rest.end()), "abc");
}

TEST_F(DisconnectTest, BufferedLinesRemainReadableAfterClose) {
  peer().Send("one\r\ntwo\r\n");
  peer().Close();
  EXPECT_EQ(io().ReadLn(), u"one");
  ASSERT_TRUE(testing::WaitFor([&] { return !io().Connected() || io().ClosedGracefully(); }));
  EXPECT_EQ(io().ReadLn(), u"two");
  EXPECT_THROW(io().ReadLn(), EIdConnClosedGracefully);
  EXPECT_FALSE(io().Connected());
}

TEST_F(DisconnectTest, ResetPeer) {
  peer().Reset();
  try {
    io().ReadLn();
    FAIL() << "no exception";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 10054);
    EXPECT_EQ(e.Message(), u"Socket Error # 10054\r\nConnection reset by peer.");
  }
}

TEST_F(DisconnectTest, WritingToAResetPeerRaises) {
  peer().Reset();
  const std::vector<uint8_t> block(64 * 1024, 'x');
  EXPECT_THROW(
      {
        for (int i = 0; i < 100; ++i) io().Write(block);
      },
      EIdException);
}

TEST_F(DisconnectTest, CloseFromAnotherThreadEndsABlockedRead) {
  io().SetReadTimeout(-1);
  auto reading = std::async(std::launch::async, [&] { return io().ReadLn(); });
  EXPECT_EQ(reading.wait_for(30ms), std::future_status::timeout);
  io().Close();
  ASSERT_EQ(reading.wait_for(kWaitLimit), std::future_status::ready);
  EXPECT_THROW(reading.get(), EIdException);
  EXPECT_FALSE(io().Opened());
}

TEST_F(DisconnectTest, ConnectionDisconnectFromAnotherThread) {
  TIdTCPConnection connection;
  connection.SetIOHandler(std::move(m_pair.handler));
  connection.IOHandler()->SetReadTimeout(0);
  auto reading = std::async(std::launch::async, [&] {
    std::vector<uint8_t> bytes;
    connection.IOHandler()->ReadBytes(bytes, 10);
  });
  EXPECT_EQ(reading.wait_for(30ms), std::future_status::timeout);
  connection.Disconnect(false);
  ASSERT_EQ(reading.wait_for(kWaitLimit), std::future_status::ready);
  EXPECT_THROW(reading.get(), EIdException);
  // The far end sees the connection end.
  EXPECT_EQ(peer().Receive(1), "");
}

TEST_F(DisconnectTest, ConnectedPullsPendingBytesIn) {
  peer().Send("hello\n");
  ASSERT_TRUE(testing::WaitFor([&] { return io().CheckForDataOnSource(10); }));
  EXPECT_TRUE(io().Connected());
  EXPECT_FALSE(io().InputBufferIsEmpty());
  EXPECT_EQ(io().ReadLn(), u"hello");
  EXPECT_FALSE(io().CheckForDataOnSource(0));
}

TEST_F(DisconnectTest, CheckForDisconnectAfterPeerClosed) {
  peer().Close();
  ASSERT_TRUE(testing::WaitFor([&] { return !io().Connected(); }));
  EXPECT_FALSE(io().Binding()->HandleAllocated());
  EXPECT_NO_THROW(io().CheckForDisconnect(false));
  EXPECT_THROW(io().CheckForDisconnect(true), EIdConnClosedGracefully);
  std::vector<uint8_t> bytes{'x'};
  EXPECT_THROW(io().Write(bytes), EIdConnClosedGracefully);
}

TEST_F(DisconnectTest, OpenStartsAfresh) {
  peer().Send("left\n");
  ASSERT_TRUE(testing::WaitFor([&] { return io().CheckForDataOnSource(10); }));
  io().Close();
  EXPECT_FALSE(io().InputBufferIsEmpty());
  io().SetHost(u"");
  io().Open();
  EXPECT_TRUE(io().Opened());
  EXPECT_TRUE(io().InputBufferIsEmpty());
  EXPECT_FALSE(io().ClosedGracefully());
}

// Header capture
using CaptureTest = IOTest;

std::string HeaderLines(int count) {
  std::string block;
  for (int i = 0; i < count; ++i) block += "X-Line-" + std::to_string(i) + ": v\r\n";
  return block;
}

TEST_F(CaptureTest, StopsAtTheDelimiterWithoutStoringIt) {
  peer().Send("Host: a\r\nAccept: */*\r\n\r\nbody");
  TStringList lines;
  io().Capture(lines);
  ASSERT_EQ(lines.Count(), 2);
  EXPECT_EQ(lines[0], u"Host: a");
  EXPECT_EQ(lines[1], u"Accept: */*");
  EXPECT_EQ(io().InputBuffer().Size(), 4u);
}

TEST_F(CaptureTest, LimitStoresOneMoreThanMaximum) {
  io().SetMaxCapturedLines(1024);
  peer().Send(HeaderLines(1025) + "\r\n");
  TStringList lines;
  io().Capture(lines);
  EXPECT_EQ(lines.Count(), 1025);
}

TEST_F(CaptureTest, LineAfterTheAllowanceRaises) {
  io().SetMaxCapturedLines(1024);
  peer().Send(HeaderLines(1026) + "\r\n");
  TStringList lines;
  try {
    io().Capture(lines);
    FAIL() << "no exception";
  } catch (const EIdMaxCaptureLineExceeded& e) {
    EXPECT_EQ(e.Message(), u"Maximum number of line allowed exceeded");
  }
  EXPECT_EQ(lines.Count(), 1025);
}

TEST_F(CaptureTest, DotTransparency) {
  peer().Send("..dotted\r\n.\r\n");
  TStringList lines;
  io().Capture(lines, u".", true);
  ASSERT_EQ(lines.Count(), 1);
  EXPECT_EQ(lines[0], u".dotted");
}

// Counted reads and streams
using ReadBytesTest = IOTest;

TEST_F(ReadBytesTest, ExactCountAcrossReceives) {
  auto reading = std::async(std::launch::async, [&] {
    std::vector<uint8_t> bytes{'<'};
    io().ReadBytes(bytes, 6);
    return std::string(bytes.begin(), bytes.end());
  });
  peer().Send("abc");
  EXPECT_EQ(reading.wait_for(20ms), std::future_status::timeout);
  peer().Send("defgh");
  EXPECT_EQ(reading.get(), "<abcdef");
  std::vector<uint8_t> rest{'x'};
  io().ReadBytes(rest, -1, false);
  EXPECT_EQ(std::string(rest.begin(), rest.end()), "gh");
}

TEST_F(ReadBytesTest, CloseBeforeTheCountRaisesEvenWithBytesBuffered) {
  peer().Send("ab");
  peer().Close();
  std::vector<uint8_t> bytes;
  EXPECT_THROW(io().ReadBytes(bytes, 3), EIdConnClosedGracefully);
  EXPECT_EQ(io().InputBuffer().Size(), 2u);
}

TEST_F(ReadBytesTest, TimeoutRaises) {
  io().SetReadTimeout(30);
  std::vector<uint8_t> bytes;
  EXPECT_THROW(io().ReadBytes(bytes, 1), EIdReadTimeout);
}

// Records how large a stream was ever asked to become.
class WatchedStream : public TMemoryStream {
 public:
  void SetSize(int64_t size) override {
    m_largestSize = std::max(m_largestSize, size);
    TMemoryStream::SetSize(size);
  }
  void Write(const void* buffer, size_t count) override {
    TMemoryStream::Write(buffer, count);
    m_largestSize = std::max(m_largestSize, Size());
  }
  using TMemoryStream::Write;
  int64_t LargestSize() const { return m_largestSize; }

 private:
  int64_t m_largestSize = 0;
};

using ReadStreamTest = IOTest;

TEST_F(ReadStreamTest, KnownCountTakesBufferedBytesFirst) {
  peer().Send("head\nbody-bytes-and-more");
  EXPECT_EQ(io().ReadLn(), u"head");
  TMemoryStream stream;
  io().ReadStream(&stream, 10);
  EXPECT_EQ(std::string(stream.Bytes().begin(), stream.Bytes().end()), "body-bytes");
  EXPECT_EQ(io().InputBuffer().Size(), 9u);
}

TEST_F(ReadStreamTest, LargeBodyAcrossManyChunks) {
  const std::string body(300000, 'z');
  auto sending = std::async(std::launch::async, [&] { peer().Send(body); });
  TMemoryStream stream;
  io().ReadStream(&stream, static_cast<int64_t>(body.size()));
  sending.get();
  EXPECT_EQ(stream.Size(), static_cast<int64_t>(body.size()));
}

TEST_F(ReadStreamTest, HugeAnnouncedLengthIsNotAllocated) {
  peer().Send("0123456789");
  peer().Close();
  WatchedStream stream;
  EXPECT_THROW(io().ReadStream(&stream, int64_t{1} << 40), EIdConnClosedGracefully);
  EXPECT_EQ(stream.Size(), 10);
  EXPECT_EQ(stream.LargestSize(), 10);
}

TEST_F(ReadStreamTest, TargetPastTheLargestSizeRaises) {
  TMemoryStream stream;
  stream.SetPosition(std::numeric_limits<int64_t>::max() - 5);
  try {
    io().ReadStream(&stream, 10);
    FAIL() << "no exception";
  } catch (const EIdIOHandlerStreamDataTooLarge& e) {
    EXPECT_EQ(e.Message(), u"Data is too large for stream");
  }
}

TEST_F(ReadStreamTest, UntilDisconnectEndsQuietly) {
  const std::string body(100000, 'q');
  auto sending = std::async(std::launch::async, [&] {
    peer().Send(body);
    peer().Close();
  });
  TMemoryStream stream;
  io().ReadStream(&stream, -1, true);
  sending.get();
  EXPECT_EQ(stream.Size(), 100000);
}

TEST_F(ReadStreamTest, UntilDisconnectEndsQuietlyOnReset) {
  peer().Reset();
  TMemoryStream stream;
  EXPECT_NO_THROW(io().ReadStream(&stream, -1, true));
  EXPECT_EQ(stream.Size(), 0);
}

TEST_F(ReadStreamTest, LengthPrefix) {
  peer().Send(std::string("\0\0\0\x03xyz", 7));
  TMemoryStream stream;
  io().ReadStream(&stream);
  EXPECT_EQ(std::string(stream.Bytes().begin(), stream.Bytes().end()), "xyz");
}

TEST_F(ReadStreamTest, DiscardAndDiscardAll) {
  peer().Send("skip-me|keep\nrest");
  io().Discard(8);
  EXPECT_EQ(io().ReadLn(), u"keep");
  peer().Close();
  EXPECT_NO_THROW(io().DiscardAll());
  EXPECT_TRUE(io().InputBufferIsEmpty());
}

// Writing and the write buffer
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
  EXPECT_FALSE(io().WriteBufferingActive());
}

TEST_F(WriteTest, ThresholdSendsWholeBlocks) {
  io().WriteBufferOpen(4);
  io().Write(u"0123456789");
  EXPECT_EQ(peer().Receive(8), "01234567");
  EXPECT_FALSE(peer().HasInput(30ms));
  io().WriteBufferFlush();
  EXPECT_EQ(peer().Receive(2), "89");
  io().WriteBufferCancel();
}

TEST_F(WriteTest, CancelAndCloseDropPendingBytes) {
  io().WriteBufferOpen();
  io().Write(u"dropped");
  io().WriteBufferCancel();
  io().Write(u"sent");
  EXPECT_EQ(peer().Receive(4), "sent");
  io().WriteBufferOpen();
  io().Write(u"lost");
  io().Close();
  EXPECT_EQ(peer().Receive(100), "");
}

TEST_F(WriteTest, StreamWithAndWithoutSize) {
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
}

TEST_F(WriteTest, ShortStreamRaises) {
  TMemoryStream stream(std::vector<uint8_t>{'a', 'b'});
  try {
    io().Write(stream, 5);
    FAIL() << "no exception";
  } catch (const EIdNoDataToRead& e) {
    EXPECT_EQ(e.Message(), u"No data to read.");
  }
}

TEST_F(WriteTest, EmptyWritesSendNothing) {
  io().Write(u"");
  io().Write(std::vector<uint8_t>{});
  io().WriteLn();
  EXPECT_EQ(peer().Receive(2), "\r\n");
}

}  // namespace
}  // namespace tessarine::net
