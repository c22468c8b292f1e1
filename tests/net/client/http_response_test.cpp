// How replies are read: status lines, body framings, error replies, charsets, time limits, redirects.

#include <gtest/gtest.h>

#include <thread>

#include "common/text.h"
#include "net/client/http_client.h"
#include "net/client/http_exceptions.h"
#include "support/scripted_server.h"

namespace tessarine::client {
namespace {

using namespace std::chrono_literals;
using test_support::HttpReply;
using test_support::ScriptedServer;

std::u16string Url(const ScriptedServer& server, std::string_view target) {
  return u"http://127.0.0.1:" + IntToStr(server.Port()) + Widen(target);
}

// Runs the call and returns the protocol error it must raise.
template <typename Call>
EIdHTTPProtocolException ProtocolError(Call call) {
  try {
    call();
  } catch (const EIdHTTPProtocolException& e) {
    return e;
  }
  ADD_FAILURE() << "no protocol error raised";
  return EIdHTTPProtocolException(0, u"", u"");
}

TEST(ReplyBodies, LengthChunkedAndUntilClose) {
  ScriptedServer server;
  server.Push(HttpReply(""));
  server.Push(
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n"
      "1a;foo=bar\r\nabcdefghijklmnopqrstuvwxyz\r\n3\r\n123\r\n0\r\nX-Trailer: t\r\n\r\n");
  server.Push("HTTP/1.1 200 OK\r\n\r\nuntil the end", true);
  server.Push(HttpReply("after"));
  TIdHTTP client;
  EXPECT_EQ(client.Get(Url(server, "/empty")), u"");
  EXPECT_EQ(client.Get(Url(server, "/chunked")), u"abcdefghijklmnopqrstuvwxyz123");
  EXPECT_EQ(client.Response().RawHeaders.Values(u"X-Trailer"), u"t");
  EXPECT_EQ(client.Get(Url(server, "/close")), u"until the end");
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(client.Get(Url(server, "/after")), u"after");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[2].Connection, 1);
  EXPECT_EQ(requests[3].Connection, 2);
}

TEST(ReplyBodies, AnUnreadableChunkSizeEndsTheBody) {
  ScriptedServer server;
  server.Push("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\nzz\r\n\r\n");
  TIdHTTP client;
  EXPECT_EQ(client.Get(Url(server, "/")), u"ab");
}

TEST(ReplyBodies, ALengthBodyCutShortKeepsWhatArrivedAndTheConnectionIsDropped) {
  ScriptedServer server;
  server.Push("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhalf", true);
  server.Push(HttpReply("next"));
  TIdHTTP client;
  EXPECT_EQ(client.Get(Url(server, "/")), u"half");
  EXPECT_EQ(client.Get(Url(server, "/")), u"next");
  EXPECT_EQ(server.Connections(), 2);
}

TEST(ReplyBodies, ALengthTooLargeForSixtyFourBitsIsNoLength) {
  ScriptedServer server;
  // 2^64 + 4: read as 4, the rest of the body would be taken for the next reply.
  server.Push("HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551620\r\n\r\nabcdefgh", true);
  TIdHTTP client;
  EXPECT_EQ(client.Get(Url(server, "/")), u"abcdefgh");
  EXPECT_EQ(client.Response().ContentLength, -1);
}

TEST(ReplyBodies, MultipartIsReadUpToItsClosingDelimiter) {
  ScriptedServer server;
  const std::string body = "--b1\r\nContent-Type: text/plain\r\n\r\npart\r\n--b1--";
  server.Push("HTTP/1.1 200 OK\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n" + body + "\r\n");
  server.Push(HttpReply("next"));
  TIdHTTP client;
  EXPECT_EQ(client.Get(Url(server, "/")), Widen(body));
  EXPECT_EQ(client.Get(Url(server, "/")), u"next");
  EXPECT_EQ(server.Connections(), 1);
}

TEST(ReplyBodies, AMultipartBodyCutOffByTheCloseKeepsWhatArrived) {
  ScriptedServer server;
  // No closing delimiter: the last bytes, which could have begun one, are the body's too.
  const std::string body = "--b1\r\n\r\npart without end";
  server.Push("HTTP/1.1 200 OK\r\nContent-Type: multipart/mixed; boundary=b1\r\n\r\n" + body, true);
  TIdHTTP client;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Get(Url(server, "/")), Widen(body));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_FALSE(client.Connected());
}

TEST(ReplyBodies, ChunkedCloseWhereAChunkIsDueRaisesAndDropsTheConnection) {
  ScriptedServer server;
  server.Push("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab", true);
  TIdHTTP client;
  EXPECT_THROW(client.Get(Url(server, "/")), net::EIdConnClosedGracefully);
  EXPECT_FALSE(client.Connected());
}

TEST(ReplyStatus, ContinueIsSkippedAndTheFinalReplyCounts) {
  ScriptedServer server;
  server.Push("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  TIdHTTP client;
  EXPECT_EQ(client.Get(Url(server, "/")), u"ok");
  EXPECT_EQ(client.ResponseCode(), 200);
  EXPECT_EQ(client.ResponseText(), u"HTTP/1.1 200 OK");
}

TEST(ReplyStatus, ErrorRepliesRaiseWithTheStatusLineAndTheDecodedBody) {
  ScriptedServer server;
  server.Push(HttpReply("\xD0\x9D\xD0\xB5\xD1\x82", "Content-Type: text/plain; charset=utf-8\r\n", "404 Not Found"));
  server.Push(HttpReply("after"));
  TIdHTTP client;
  const EIdHTTPProtocolException error = ProtocolError([&] { client.Get(Url(server, "/missing")); });
  EXPECT_EQ(error.Message(), u"HTTP/1.1 404 Not Found");
  EXPECT_EQ(error.ErrorCode(), 404);
  EXPECT_EQ(error.ErrorMessage(), u"\u041D\u0435\u0442");
  // What the engine's refusal reader is given.
  EXPECT_EQ(client.RefusedStatusCode(), 404);
  EXPECT_EQ(client.RefusedReplyText(), u"\u041D\u0435\u0442");
  // The error reply was read whole, so its connection serves the next call.
  EXPECT_EQ(client.Get(Url(server, "/")), u"after");
  EXPECT_EQ(server.Connections(), 1);
  EXPECT_EQ(client.RefusedStatusCode(), 0);
}

TEST(ReplyStatus, OddStatusLinesAreErrors) {
  for (const std::string& reply : {std::string("HTTP/1.1 101 Switching\r\n\r\n"), std::string("GARBAGE\r\n\r\n"),
                                   HttpReply("", "", "304 Not Modified"), HttpReply("moved", "", "302 Found")}) {
    ScriptedServer server;
    server.Push(reply, true);
    TIdHTTP client;
    const EIdHTTPProtocolException error = ProtocolError([&] { client.Get(Url(server, "/")); });
    EXPECT_EQ(ToUtf8(error.Message()), reply.substr(0, reply.find('\r')));
  }
  ScriptedServer server;
  server.Push("GARBAGE\r\n\r\n", true);
  TIdHTTP client;
  EXPECT_EQ(ProtocolError([&] { client.Get(Url(server, "/")); }).ErrorCode(), -1);
}

TEST(ReplyStatus, ACloseInsideTheHeaderBlockKeepsTheLinesRead) {
  ScriptedServer server;
  server.Push("HTTP/1.1 200 OK\r\nX-A: 1\r\n", true);
  TIdHTTP client;
  EXPECT_EQ(client.Get(Url(server, "/")), u"");
  EXPECT_EQ(client.Response().RawHeaders.Values(u"X-A"), u"1");
}

// ReplyCharSet names the charset only when the text holds characters decoded by it, not the body's bytes.
TEST(ReplyCharsets, TheResultTextFollowsTheReplyCharset) {
  const std::string cyrillic = "\xD0\x9F";  // U+041F in UTF-8
  struct Case {
    std::string contentType;
    std::string body;
    std::u16string text;
    std::u16string charSet;
  };
  const std::vector<Case> cases = {
      {"Content-Type: application/json; charset=UTF-8\r\n", cyrillic, u"\u041F", u"UTF-8"},
      {"Content-Type: application/json\r\n", cyrillic, u"\u00D0\u009F", u""},
      {"", cyrillic, u"\u00D0\u009F", u""},
      {"Content-Type: text/plain\r\n", cyrillic, u"\u00D0\u009F", u""},
      {"Content-Type: text/plain; charset=latin1\r\n", cyrillic, u"\u00D0\u009F", u""},
      {"Content-Type: text/plain; charset=cp1251\r\n", "\xCF", u"\u00CF", u""},
      {"Content-Type: application/json; charset=windows-1251\r\n", "\xCF", u"\u041F", u"windows-1251"},
      {"Content-Type: text/plain; charset=no-such-charset\r\n", "\xCF", u"\u00CF", u""},
      // No charset in the header: the page's own meta tag decides.
      {"Content-Type: text/html\r\n", "<html><head><meta charset=\"windows-1251\"></head>\xCF</html>",
       u"<html><head><meta charset=\"windows-1251\"></head>\u041F</html>", u"windows-1251"},
  };
  ScriptedServer server;
  for (const Case& c : cases) server.Push(HttpReply(c.body, c.contentType));
  TIdHTTP client;
  for (const Case& c : cases) {
    EXPECT_EQ(client.Get(Url(server, "/")), c.text) << c.contentType;
    EXPECT_EQ(client.ReplyCharSet(), c.charSet) << c.contentType;
  }
}

TEST(ReplyTimeLimits, ASilentServerRaisesReadTimedOut) {
  ScriptedServer server;
  server.Push(ScriptedServer::Reply{"", false, true});
  server.Push(ScriptedServer::Reply{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhal", false, false, true});
  // Stalled where the next chunk-size line is due: not the end of the body.
  server.Push(
      ScriptedServer::Reply{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n", false, false, true});
  server.Push(HttpReply("fine"));
  TIdHTTP client;
  client.SetReadTimeout(200);
  for (int i = 0; i < 3; ++i) {
    try {
      client.Get(Url(server, "/"));
      FAIL() << "a stalled reply must time out";
    } catch (const net::EIdReadTimeout& e) {
      EXPECT_EQ(e.Message(), u"Read timed out.");
    }
    EXPECT_FALSE(client.Connected());
  }
  EXPECT_EQ(client.Get(Url(server, "/")), u"fine");
  EXPECT_EQ(server.Connections(), 4);
}

TEST(ReplyTimeLimits, AbortEndsABlockedCallAndRefusesCallsUntilResumed) {
  ScriptedServer server;
  server.Push(ScriptedServer::Reply{"", false, true});
  server.Push(HttpReply("back"));
  TIdHTTP client;
  std::thread aborter([&] {
    ASSERT_TRUE(server.WaitForRequests(1));
    client.Abort();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(client.Get(Url(server, "/")), EIdException);
  aborter.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_THROW(client.Get(Url(server, "/")), net::EIdClosedSocket);
  client.ResumeCalls();
  EXPECT_EQ(client.Get(Url(server, "/")), u"back");
}

TEST(ReplyTimeLimits, AbortDuringABodyReadToTheCloseRaisesInsteadOfCuttingTheBody) {
  ScriptedServer server;
  server.Push(ScriptedServer::Reply{"HTTP/1.1 200 OK\r\n\r\nthe first half", false, false, true});
  TIdHTTP client;
  std::thread aborter([&] {
    ASSERT_TRUE(test_support::WaitFor([&] { return server.Sent() == 1; }));
    // Lets the client get from the header block into the body; an earlier Abort passes the test too.
    std::this_thread::sleep_for(50ms);
    client.Abort();
  });
  EXPECT_THROW(client.Get(Url(server, "/")), EIdException);
  aborter.join();
}

std::string Redirect(int code, std::string_view location) {
  return HttpReply("", "Location: " + std::string(location) + "\r\n", std::to_string(code) + " Redirect");
}

TEST(Redirects, FourteenAreFollowedAndTheFifteenthEndsWithAnEmptyResult) {
  ScriptedServer server;
  for (int i = 1; i <= 14; ++i) server.Push(Redirect(302, "/hop" + std::to_string(i)));
  server.Push(HttpReply("arrived"));
  for (int i = 1; i <= 15; ++i) server.Push(Redirect(301, "/again" + std::to_string(i)));
  TIdHTTP client;
  EXPECT_EQ(client.Get(Url(server, "/start")), u"arrived");
  EXPECT_EQ(client.RedirectCount(), 14);
  EXPECT_EQ(client.Get(Url(server, "/start")), u"");
  EXPECT_EQ(client.Response().Location, u"/again15");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 30u);
  EXPECT_EQ(requests[14].Head.substr(0, 20), "GET /hop14 HTTP/1.1\r");
  EXPECT_EQ(server.Connections(), 1);
}

TEST(Redirects, PostKeepsItsBodyExceptAfter303) {
  ScriptedServer server;
  server.Push(Redirect(302, "/second"));
  server.Push(HttpReply("", "Connection: keep-alive\r\nLocation: third\r\n", "303 See Other"));
  server.Push(HttpReply("done"));
  TIdHTTP client;
  TMemoryStream source({'b', 'o', 'd', 'y'});
  EXPECT_EQ(client.Post(Url(server, "/first"), source), u"done");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].Head.substr(0, 25), "POST /second HTTP/1.0\r\nCo");
  EXPECT_EQ(requests[1].Body, "body");
  EXPECT_EQ(requests[2].Head.substr(0, 21), "GET /third HTTP/1.0\r\n");
  EXPECT_EQ(requests[2].Head.find("Content-Length"), std::string::npos);
  EXPECT_EQ(requests[2].Body, "");
  EXPECT_EQ(client.ProtocolVersion(), pv1_1);
}

TEST(Redirects, RelativeAndAbsoluteLocations) {
  ScriptedServer first;
  ScriptedServer second;
  first.Push(Redirect(301, "../x?y=1"));
  first.Push(Redirect(307, "?only=query"));
  first.Push(Redirect(308, "http://127.0.0.1:" + std::to_string(second.Port()) + "/other/place"));
  second.Push(HttpReply("there"));
  TIdHTTP client;
  EXPECT_EQ(client.Get(Url(first, "/a/b/c")), u"there");
  const auto requests = first.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].Head.substr(0, 20), "GET /a/x?y=1 HTTP/1.");
  EXPECT_EQ(requests[2].Head.substr(0, 24), "GET /a/?only=query HTTP/");
  ASSERT_TRUE(second.WaitForRequests(1));
  EXPECT_EQ(second.Requests()[0].Head.substr(0, 21), "GET /other/place HTTP");
  EXPECT_EQ(client.URL().GetPathAndParams(), u"/other/place");
}

// A key sent to an engine must reach that engine only: a redirect elsewhere would hand it to whoever the reply
// names. Requests without credentials keep following redirects anywhere, as above.
TEST(Redirects, ARequestWithCredentialsStaysAtItsOrigin) {
  ScriptedServer home;
  ScriptedServer elsewhere;
  const std::string other = "http://localhost:" + std::to_string(elsewhere.Port()) + "/steal";
  auto withheld = [](auto call) -> std::u16string {
    try {
      call();
    } catch (const translate::ECredentialsWithheld& e) {
      return e.Message();
    }
    return u"not withheld";
  };
  TIdHTTP client;
  TMemoryStream source({'k', 'e', 'y'});

  client.SetCarriesCredentials(true);
  home.Push(Redirect(307, "/same"));
  home.Push(Redirect(308, "http://127.0.0.1:" + std::to_string(home.Port()) + "/absolute"));
  home.Push(HttpReply("done"));
  EXPECT_EQ(client.Post(Url(home, "/first"), source), u"done");
  for (int code : {301, 302, 307, 308}) {
    home.Push(Redirect(code, other));
    EXPECT_EQ(withheld([&] { client.Post(Url(home, "/translate"), source); }),
              u"the reply redirects to another host (localhost); a request with a key is not sent there")
        << code;
  }
  home.Push(Redirect(302, "http://127.0.0.1:" + std::to_string(elsewhere.Port()) + "/"));
  EXPECT_EQ(withheld([&] { client.Post(Url(home, "/translate"), source); }),
            u"the reply redirects to another origin (http://127.0.0.1:" + IntToStr(elsewhere.Port()) +
                u"); a request with a key is not sent there");

  // Keys in headers count without being told.
  client.SetCarriesCredentials(false);
  for (const char16_t* header : {u"Authorization", u"X-Api-Key", u"Ocp-Apim-Subscription-Key", u"x-auth-token"}) {
    client.CustomHeadersClear();
    client.CustomHeadersAddValue(header, u"secret");
    home.Push(Redirect(302, other));
    EXPECT_NE(withheld([&] { client.Get(Url(home, "/")); }), u"not withheld") << ToUtf8(header);
  }
  EXPECT_TRUE(elsewhere.Requests().empty());
  EXPECT_EQ(home.Requests().size(), 12u);

  // Over plain http a key goes to this machine's loopback names only; nothing is even connected elsewhere.
  // (0.0.0.0 is no loopback address, yet a connection to it, were one made, would not leave the machine.)
  client.SetCarriesCredentials(true);
  client.CustomHeadersClear();
  EXPECT_EQ(withheld([&] { client.Post(u"http://0.0.0.0:1/translate", source); }),
            u"a request with a key is not sent over plain http to 0.0.0.0; name the server with https://");
  home.Push(HttpReply("loopback"));
  EXPECT_EQ(client.Get(u"http://localhost:" + IntToStr(home.Port()) + u"/"), u"loopback");

  client.SetCarriesCredentials(false);
  home.Push(Redirect(302, other));
  elsewhere.Push(HttpReply("followed"));
  EXPECT_EQ(client.Get(Url(home, "/")), u"followed");
}

}  // namespace
}  // namespace tessarine::client
