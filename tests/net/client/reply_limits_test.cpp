// What one engine reply may cost: the size of its body on the wire, of its body after decoding and of its header
// block, and the time of the whole call. Going over fails the call, drops its connection, and the next call works.

#include <gtest/gtest.h>

#define ZLIB_CONST
#include <zlib.h>

#include <chrono>
#include <string>

#include "common/text.h"
#include "net/client/http_client.h"
#include "net/client/http_exceptions.h"
#include "support/scripted_server.h"

namespace tessarine::client {
namespace {

using namespace std::chrono_literals;
using test_support::HttpReply;
using test_support::ScriptedServer;
using Clock = std::chrono::steady_clock;

std::u16string Url(const ScriptedServer& server, std::string_view target = "/") {
  return u"http://127.0.0.1:" + IntToStr(server.Port()) + Widen(target);
}

std::string Gzip(const std::string& data) {
  z_stream strm{};
  EXPECT_EQ(deflateInit2(&strm, Z_BEST_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&strm, data.size()), '\0');
  strm.next_in = reinterpret_cast<const Bytef*>(data.data());
  strm.avail_in = static_cast<uInt>(data.size());
  strm.next_out = reinterpret_cast<Bytef*>(out.data());
  strm.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&strm, Z_FINISH), Z_STREAM_END);
  out.resize(strm.total_out);
  deflateEnd(&strm);
  return out;
}

// Runs the call and returns the size failure it must raise.
template <typename Call>
EIdHTTPReplyTooLarge TooLarge(Call call) {
  try {
    call();
  } catch (const EIdHTTPReplyTooLarge& e) {
    return e;
  }
  ADD_FAILURE() << "no size failure raised";
  return EIdHTTPReplyTooLarge(EIdHTTPReplyTooLarge::rpBody, 0);
}

// Each reply goes to a fresh client on a server whose next reply is "next": a failing reply must leave the
// client disconnected, and the next call must be answered on a new connection.
struct LimitCase {
  std::string name;
  ScriptedServer::Reply reply;
  std::u16string failure;  // empty: the reply is within the limits
};

void ExpectLimits(TIdHTTP& client, const LimitCase& c) {
  SCOPED_TRACE(c.name);
  ScriptedServer server;
  server.Push(c.reply);
  server.Push(HttpReply("next"));
  if (c.failure.empty()) {
    EXPECT_NO_THROW(client.Get(Url(server)));
  } else {
    EXPECT_EQ(TooLarge([&] { client.Get(Url(server)); }).Message(), c.failure);
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(client.Get(Url(server)), u"next");
    EXPECT_EQ(server.Requests().back().Connection, 2);
  }
  client.Disconnect();
}

TEST(ReplyLimits, BodiesAreCountedAsTheyArriveInEveryFraming) {
  TIdHTTP client;
  client.SetMaxBodyBytes(1000);
  const std::u16string failure = u"Reply body exceeds 1000 bytes.";
  const std::string full(1000, 'x');
  const std::string over(1001, 'x');
  // Chunk framing counts: "3de" CR LF, 990 bytes, CR LF, "0" CR LF are 1000 bytes on the wire.
  const std::string chunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string multipartHead = "HTTP/1.1 200 OK\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n";
  const LimitCase cases[] = {
      {"length at the limit", {HttpReply(full)}, u""},
      {"length over the limit, refused before the body comes",
       {HttpReply(over).substr(0, 60), false, false, true},
       failure},
      {"until the close", {"HTTP/1.1 200 OK\r\n\r\n" + over, true}, failure},
      {"chunked at the limit", {chunkedHead + "3de\r\n" + std::string(990, 'x') + "\r\n0\r\n\r\n"}, u""},
      {"chunked over the limit", {chunkedHead + "3df\r\n" + std::string(991, 'x') + "\r\n0\r\n\r\n"}, failure},
      {"chunks that never end",
       {chunkedHead, false, false, false, 0ms, "40\r\n" + std::string(64, 'x') + "\r\n", 1ms},
       failure},
      {"a chunk announced over the limit", {chunkedHead + "3e9\r\n", false, false, true}, failure},
      {"multipart over the limit", {multipartHead + "--b\r\n\r\n" + over + "\r\n--b--\r\n"}, failure},
      // A redirect's body is read and dropped, and counted all the same.
      {"a dropped redirect body", {"HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\n\r\n" + over, true}, failure},
  };
  for (const LimitCase& c : cases) ExpectLimits(client, c);
}

TEST(ReplyLimits, DecodedBodiesAreCountedAsTheyInflate) {
  TIdHTTP client;
  client.SetMaxDecodedBytes(50000);
  // Well inside the limit on the wire: zeros shrink a thousandfold.
  const auto gzipped = [](size_t zeros) {
    return HttpReply(Gzip(std::string(zeros, '\0')), "Content-Encoding: gzip\r\n");
  };
  const LimitCase cases[] = {
      {"at the limit", {gzipped(50000)}, u""},
      {"over the limit", {gzipped(50001)}, u"Decompressed reply body exceeds 50000 bytes."},
  };
  for (const LimitCase& c : cases) ExpectLimits(client, c);
}

TEST(ReplyLimits, TheHeaderBlockIsCountedLineByLineTrailersIncluded) {
  TIdHTTP client;
  client.SetMaxHeaderBlockBytes(100);
  const std::u16string failure = u"Reply header block exceeds 100 bytes.";
  // "HTTP/1.1 200 OK" CR LF is 17 bytes, "Content-Length: 0" CR LF 19, the empty line 2: 38 before X-Pad.
  const auto padded = [](size_t value) { return "X-Pad: " + std::string(value, 'p') + "\r\n"; };
  const std::string chunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";  // 47 bytes
  const LimitCase cases[] = {
      {"at the limit", {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n" + padded(53) + "\r\n"}, u""},
      {"over the limit", {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n" + padded(54) + "\r\n"}, failure},
      {"header lines without end", {"HTTP/1.1 200 OK\r\n", false, false, false, 0ms, padded(20), 1ms}, failure},
      {"trailers at the limit", {chunkedHead + "0\r\n" + padded(42) + "\r\n"}, u""},
      {"trailers over the limit", {chunkedHead + "0\r\n" + padded(43) + "\r\n"}, failure},
  };
  for (const LimitCase& c : cases) ExpectLimits(client, c);
  // The lines of a refused block are not kept until the next reply.
  ScriptedServer server;
  server.Push("HTTP/1.1 200 OK\r\n" + padded(100) + "\r\n");
  TooLarge([&] { client.Get(Url(server)); });
  EXPECT_EQ(client.Response().RawHeaders.Count(), 0);
}

TEST(ReplyLimits, TheDefaultsRefuseSeventeenMegabytesEitherWay) {
  TIdHTTP client;
  const LimitCase cases[] = {
      {"announced",
       {"HTTP/1.1 200 OK\r\nContent-Length: 17825792\r\n\r\n", false, false, true},
       u"Reply body exceeds 16777216 bytes."},
      {"inflated",
       {HttpReply(Gzip(std::string(17825792, 'a')), "Content-Encoding: gzip\r\n")},
       u"Decompressed reply body exceeds 16777216 bytes."},
  };
  for (const LimitCase& c : cases) ExpectLimits(client, c);
}

TEST(ReplyLimits, ChunkSizesWithLeadingZerosAndSizesBeyondSixtyThreeBits) {
  const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  ScriptedServer server;
  server.Push(head + "0000000000000003\r\nabc\r\n00000000000000000000000000001a;x=y\r\n" + std::string(26, 'z') +
              "\r\n0\r\nX-After: 1\r\n\r\n");
  server.Push(head + "8000000000000000\r\nabc\r\n0\r\n\r\n");
  server.Push(head + "10000000000000000\r\nabc\r\n0\r\n\r\n");
  TIdHTTP client;
  client.SetMaxBodyBytes(0);  // no limit: the size itself is what cannot be taken
  EXPECT_EQ(client.Get(Url(server)), u"abc" + std::u16string(26, u'z'));
  EXPECT_EQ(client.Response().RawHeaders.Values(u"X-After"), u"1");
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(TooLarge([&] { client.Get(Url(server)); }).Part(), EIdHTTPReplyTooLarge::rpBody);
    EXPECT_FALSE(client.Connected());
  }
}

// The whole call has a time limit of its own: the read limit (30 s here) is never reached by these peers,
// which keep sending.
struct SlowCase {
  std::string name;
  ScriptedServer::Reply reply;
};

TEST(CallTimeLimit, PeersThatKeepSendingAreCutOffAtTheCallLimit) {
  const SlowCase cases[] = {
      {"endless interim replies", {"", false, false, false, 0ms, "HTTP/1.1 100 Continue\r\n\r\n", 5ms}},
      {"endless chunks",
       {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", false, false, false, 0ms, "1\r\nx\r\n", 5ms}},
      {"a body a byte at a time",
       {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n", false, false, false, 0ms, "x", 50ms}},
      {"a status line a byte at a time", {"", false, false, false, 0ms, "H", 50ms}},
      {"header lines without end", {"HTTP/1.1 200 OK\r\n", false, false, false, 0ms, "X-A: 1\r\n", 5ms}},
      {"multipart without end",
       {"HTTP/1.1 200 OK\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n", false, false, false, 0ms, "x", 5ms}},
  };
  TIdHTTP client;
  client.SetCallTimeout(400);
  for (const SlowCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server;
    server.Push(c.reply);
    server.Push(HttpReply("next"));
    const auto start = Clock::now();
    try {
      client.Get(Url(server));
      ADD_FAILURE() << "the call must time out";
    } catch (const net::EIdReadTimeout& e) {
      EXPECT_EQ(e.Message(), u"Read timed out.");
    }
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 400ms);
    EXPECT_LT(took, 3s);
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(client.Get(Url(server)), u"next");
    EXPECT_EQ(server.Connections(), 2);
    client.Disconnect();
  }
}

TEST(CallTimeLimit, TheLimitRunsFromTheStartOfTheCallAcrossRedirects) {
  ScriptedServer server;
  // Each reply alone is well inside the limit; together they are not.
  server.Push(ScriptedServer::Reply{HttpReply("", "Location: /second\r\n", "302 Found"), false, false, false, 300ms});
  server.Push(ScriptedServer::Reply{HttpReply("late"), false, false, false, 300ms});
  server.Push(HttpReply("in time"));
  TIdHTTP client;
  client.SetCallTimeout(450);
  const auto start = Clock::now();
  EXPECT_THROW(client.Get(Url(server, "/first")), net::EIdReadTimeout);
  EXPECT_LT(Clock::now() - start, 3s);
  EXPECT_EQ(client.Get(Url(server, "/third")), u"in time");
}

TEST(CallTimeLimit, OffWithZero) {
  ScriptedServer server;
  server.Push(ScriptedServer::Reply{HttpReply("slow"), false, false, false, 100ms});
  TIdHTTP client;
  client.SetCallTimeout(0);
  EXPECT_EQ(client.Get(Url(server)), u"slow");
}

TEST(CallTimeLimit, AnEngineGivenALimitOfItsOwnWaitsThatLongAndTheNextCallHasTheClientsAgain) {
  ScriptedServer server;
  server.Push(ScriptedServer::Reply{HttpReply("thought long"), false, false, false, 700ms});
  server.Push(ScriptedServer::Reply{HttpReply("too slow"), false, false, false, 700ms});
  TIdHTTP client;
  client.SetCallTimeout(300);
  client.SetReadTimeout(300);
  // Longer than the call's limit and than a single read's.
  client.SetCallTimeLimit(5000);
  EXPECT_EQ(client.Get(Url(server)), u"thought long");
  client.SetCallTimeLimit(0);
  EXPECT_THROW(client.Get(Url(server)), net::EIdReadTimeout);
  EXPECT_EQ(client.ReadTimeout(), 300);
}

}  // namespace
}  // namespace tessarine::client
