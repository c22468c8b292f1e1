// What the client puts on the wire: request lines, header blocks in their exact order, bodies, and which
// connection each request travels on.

#include <gtest/gtest.h>

#include "common/text.h"
#include "net/client/http_client.h"
#include "net/client/http_exceptions.h"
#include "net/client/uri_resolve.h"
#include "support/scripted_server.h"

namespace tessarine::client {
namespace {

using test_support::HttpReply;
using test_support::ScriptedServer;

constexpr char kUserAgent[] =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/53.0.2785.116 "
    "Safari/537.36";

std::u16string Url(const ScriptedServer& server, std::string_view target) {
  return u"http://127.0.0.1:" + IntToStr(server.Port()) + Widen(target);
}

std::string HostLine(const ScriptedServer& server) {
  return "Host: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n";
}

// The block a Get sends with no custom lines and no cookies, after its request line.
std::string PlainGetHeaders(const ScriptedServer& server) {
  return "Proxy-Connection: NoProxy\r\n" + HostLine(server) +
         "Accept: text/html\r\nAccept-Charset: utf-8\r\nAccept-Encoding: identity, deflate, gzip\r\n"
         "Accept-Language: en-us\r\nUser-Agent: " +
         kUserAgent + "\r\n\r\n";
}

TEST(ClientRequests, GetSendsTheUrlUnchangedAndTheStandardHeaderBlock) {
  ScriptedServer server;
  server.Push(HttpReply("ok"));
  TIdHTTP client;
  EXPECT_EQ(client.Get(Url(server, "/translate_a/t?q=Hello%20world&x=%7C+a#fragment")), u"ok");
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0].Head,
            "GET /translate_a/t?q=Hello%20world&x=%7C+a HTTP/1.1\r\n" + PlainGetHeaders(server));
  EXPECT_EQ(client.Request().AcceptEncoding, u"identity, deflate, gzip");
}

TEST(ClientRequests, EmptyPathBecomesTheRootAndNonAsciiGoesOutAsQuestionMarks) {
  ScriptedServer server;
  server.Push(HttpReply(""));
  server.Push(HttpReply(""));
  TIdHTTP client;
  client.Get(Url(server, "?x=1"));
  client.Get(Url(server, "/a?t=\xD0\x96"));  // widened byte by byte: two characters above U+007F
  ASSERT_TRUE(server.WaitForRequests(2));
  EXPECT_EQ(server.Requests()[0].Head.substr(0, 21), "GET /?x=1 HTTP/1.1\r\nP");
  EXPECT_EQ(server.Requests()[1].Head.substr(0, 25), "GET /a?t=?? HTTP/1.1\r\nPro");
}

TEST(ClientRequests, HostCarriesThePortOnlyWhenItIsNotTheSchemeDefault) {
  TIdHTTP client;
  client.SetConnectTimeout(1000);
  // Nothing need answer: the Host field is composed before connecting.
  for (const auto& [url, host] : std::vector<std::pair<std::u16string, std::u16string>>{
           {u"http://127.0.0.1:1/x", u"127.0.0.1:1"},
           {u"http://127.0.0.1:80/x", u"127.0.0.1"},
           {u"HTTP://127.0.0.1/x", u"127.0.0.1"},
           {u"http://127.0.0.1:443/x", u"127.0.0.1:443"},
           {u"https://127.0.0.1:443/x", u"127.0.0.1"},
           {u"https://127.0.0.1:8080/x", u"127.0.0.1:8080"},
           {u"http://[::1]:1/x", u"[::1]:1"},
       }) {
    try {
      client.Get(url);
    } catch (const EIdException&) {
    }
    EXPECT_EQ(client.Request().Host, host) << ToUtf8(url);
  }
}

TEST(ClientRequests, CustomLinesGoOutInOrderWithTheStandardValuesMergedIn) {
  ScriptedServer server;
  server.Push(HttpReply(""));
  server.Push(HttpReply(""));
  TIdHTTP client;
  client.CustomHeadersAddValue(u"X-One", u"1");
  client.CustomHeadersAddValue(u"Accept", u"application/json");
  client.CustomHeadersAddValue(u"Accept-Language", u"ru-RU");
  client.CustomHeadersAddValue(u"Accept-Language", u"de-DE");
  client.CustomHeadersAddValue(u"Cookie", u"a=1");
  client.Get(Url(server, "/x"));
  // The list is the caller's to empty: it goes out with every request until then.
  client.Get(Url(server, "/y"));
  ASSERT_TRUE(server.WaitForRequests(2));
  const std::string expected =
      "X-One: 1\r\nAccept: text/html\r\nAccept-Language: en-us\r\nAccept-Language: de-DE\r\nCookie: a=1\r\n"
      "Proxy-Connection: NoProxy\r\n" +
      HostLine(server) +
      "Accept-Charset: utf-8\r\nAccept-Encoding: identity, deflate, gzip\r\nUser-Agent: " + kUserAgent + "\r\n\r\n";
  EXPECT_EQ(server.Requests()[0].Head, "GET /x HTTP/1.1\r\n" + expected);
  EXPECT_EQ(server.Requests()[1].Head, "GET /y HTTP/1.1\r\n" + expected);
}

TEST(ClientRequests, StoredCookiesFollowEveryOtherLineAndACustomCookieLineStaysApart) {
  ScriptedServer server;
  server.Push(HttpReply("", "Set-Cookie: sid=42; Path=/\r\nSet-Cookie: lang=ru; Path=/a\r\n"));
  server.Push(HttpReply(""));
  TIdHTTP client;
  client.Get(Url(server, "/start"));
  client.CustomHeadersAddValue(u"Cookie", u"custom=1");
  client.Get(Url(server, "/a/page"));
  ASSERT_TRUE(server.WaitForRequests(2));
  const std::string head = server.Requests()[1].Head;
  EXPECT_NE(head.find("GET /a/page HTTP/1.1\r\nCookie: custom=1\r\nProxy-Connection: NoProxy\r\n"), std::string::npos);
  EXPECT_TRUE(head.ends_with("Safari/537.36\r\nCookie: lang=ru; sid=42\r\n\r\n")) << head;
}

TEST(ClientRequests, PostOpensAFreshHttp10ConnectionAndSendsTheWholeSource) {
  ScriptedServer server;
  server.Push(HttpReply("one"));
  server.Push(HttpReply("two"));
  server.Push(HttpReply("three", "Connection: keep-alive\r\n"));
  TIdHTTP client;
  client.Get(Url(server, "/get"));
  TMemoryStream source({'{', 'a', '}'});
  source.SetPosition(source.Size());  // left at its end by whoever wrote it
  client.CustomHeadersAddValue(u"Content-Type", u"application/json; charset=UTF-8");
  client.CustomHeadersAddValue(u"Accept-Encoding", u"gzip, deflate");
  EXPECT_EQ(client.Post(Url(server, "/post"), source), u"two");
  EXPECT_EQ(source.Position(), source.Size());
  EXPECT_EQ(client.ProtocolVersion(), pv1_1);
  TMemoryStream empty;
  client.CustomHeadersClear();
  EXPECT_EQ(client.Post(Url(server, "/empty"), empty), u"three");

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].Connection, 2);
  EXPECT_EQ(requests[1].Head,
            "POST /post HTTP/1.0\r\nConnection: keep-alive\r\nContent-Length: 3\r\n"
            "Content-Type: application/json; charset=UTF-8\r\n"
            "Accept-Encoding: identity, deflate, gzip\r\nProxy-Connection: NoProxy\r\n" +
                HostLine(server) +
                "Accept: text/html\r\nAccept-Charset: utf-8\r\n"
                "Accept-Language: en-us\r\nUser-Agent: " +
                kUserAgent + "\r\n\r\n");
  EXPECT_EQ(requests[1].Body, "{a}");
  EXPECT_EQ(requests[2].Connection, 3);
  EXPECT_NE(requests[2].Head.find("\r\nContent-Length: 0\r\n"), std::string::npos);
  EXPECT_EQ(requests[2].Body, "");
}

TEST(ClientRequests, AGetAfterAKeptPostReusesItsConnectionAndKeepsItsConnectionLine) {
  ScriptedServer server;
  server.Push(HttpReply("post", "Connection: keep-alive\r\n"));
  server.Push(HttpReply("get"));
  TIdHTTP client;
  TMemoryStream source({'x'});
  client.Post(Url(server, "/p"), source);
  EXPECT_EQ(client.Get(Url(server, "/g")), u"get");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].Connection, 1);
  EXPECT_EQ(requests[1].Head.substr(0, 42), "GET /g HTTP/1.1\r\nConnection: keep-alive\r\nP");
}

TEST(ClientRequests, AGetAfterAPostWhoseReplyDoesNotSayKeepAliveOpensANewConnection) {
  ScriptedServer server;
  // An HTTP/1.1 reply that leaves the connection open: the HTTP/1.0 request it answers still ends there.
  server.Push(HttpReply("post"));
  server.Push(HttpReply("get"));
  TIdHTTP client;
  TMemoryStream source({'x'});
  client.Post(Url(server, "/p"), source);
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(client.Get(Url(server, "/g")), u"get");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].Connection, 2);
}

TEST(ClientRequests, AFailedPostStillRestoresTheProtocolVersion) {
  ScriptedServer server;
  server.Push(ScriptedServer::Reply{"", true});  // closes before any status line
  TIdHTTP client;
  TMemoryStream source({'x'});
  try {
    client.Post(Url(server, "/p"), source);
    FAIL() << "a closed connection must raise";
  } catch (const net::EIdConnClosedGracefully& e) {
    EXPECT_EQ(e.Message(), u"Connection Closed Gracefully.");
  }
  EXPECT_EQ(client.ProtocolVersion(), pv1_1);
}

TEST(ClientConnections, KeptOpenForTheSameServerAndClosedWhenTheReplySaysSo) {
  ScriptedServer server;
  server.Push(HttpReply("1"));
  server.Push(HttpReply("2", "Connection: close\r\n"));
  server.Push(HttpReply("3"));
  TIdHTTP client;
  client.Get(Url(server, "/1"));
  client.Get(Url(server, "/2"));
  client.Get(Url(server, "/3"));
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].Connection, 1);
  EXPECT_EQ(requests[1].Connection, 1);
  EXPECT_EQ(requests[2].Connection, 2);
}

TEST(ClientConnections, APeerThatClosedBetweenCallsIsNoticedBeforeSending) {
  ScriptedServer server;
  server.Push(ScriptedServer::Reply{HttpReply("1"), true});  // keep-alive reply, then the server hangs up
  server.Push(HttpReply("2"));
  TIdHTTP client;
  EXPECT_EQ(client.Get(Url(server, "/1")), u"1");
  ASSERT_TRUE(test_support::WaitFor([&] { return server.ClosedConnections() == 1; }));
  EXPECT_EQ(client.Get(Url(server, "/2")), u"2");
  EXPECT_EQ(server.Connections(), 2);
}

TEST(ClientConnections, AnotherServerGetsAnotherConnectionAndIPv6HostsAreBracketed) {
  ScriptedServer first;
  ScriptedServer second(AF_INET6);
  first.Push(HttpReply("a"));
  second.Push(HttpReply("b"));
  TIdHTTP client;
  client.Get(Url(first, "/"));
  EXPECT_EQ(client.Get(u"http://[::1]:" + IntToStr(second.Port()) + u"/v6"), u"b");
  ASSERT_TRUE(second.WaitForRequests(1));
  EXPECT_NE(second.Requests()[0].Head.find("\r\nHost: [::1]:" + std::to_string(second.Port()) + "\r\n"),
            std::string::npos);
  EXPECT_FALSE(first.Requests().empty());
}

TEST(ClientFailures, UnknownProtocolWithoutAPortAndAnEmptyHost) {
  TIdHTTP client;
  EXPECT_THROW(client.Get(u"/relative/only"), EIdUnknownProtocol);
  try {
    client.Get(u"ftp://127.0.0.1/x");
    FAIL();
  } catch (const EIdUnknownProtocol& e) {
    EXPECT_EQ(e.Message(), u"Unknown Protocol");
  }
  TIdHTTP fresh;
  try {
    fresh.Get(u"http:///x");
    FAIL();
  } catch (const EIdException& e) {
    EXPECT_EQ(e.Message(), u"A Host is required");
  }
}

TEST(ClientFailures, ConfiguredWithConnectAndReadLimits) {
  TIdHTTP client;
  EXPECT_EQ(client.ConnectTimeout(), 15000);
  EXPECT_EQ(client.ReadTimeout(), 30000);
  EXPECT_TRUE(client.HandleRedirects());
  EXPECT_EQ(client.RedirectMaximum(), 15);
  EXPECT_TRUE(client.AllowCookies());
  EXPECT_EQ(client.HTTPOptions(), hoForceEncodeParams);
  EXPECT_EQ(client.CallTimeout(), 60000);
  EXPECT_EQ(client.MaxBodyBytes(), 16 << 20);
  EXPECT_EQ(client.MaxDecodedBytes(), 16 << 20);
  EXPECT_EQ(client.MaxHeaderBlockBytes(), 1 << 20);
}

TEST(RequestPaths, ResolvedAgainstThePreviousPath) {
  EXPECT_EQ(ResolveRequestPath(u"/a/b/", u"/abs/"), u"/abs/");
  EXPECT_EQ(ResolveRequestPath(u"/a/b/", u"../"), u"/a/");
  EXPECT_EQ(ResolveRequestPath(u"/a/b/", u""), u"/a/b/");
  EXPECT_EQ(ResolveRequestPath(u"/a/b/", u"c/d/"), u"/a/b/c/d/");
  EXPECT_EQ(ResolveRequestPath(u"/a/b", u"c"), u"/a/b/c");
  EXPECT_EQ(ResolveRequestPath(u"/a//b/", u"./c//"), u"/a/b/./c/");
  EXPECT_EQ(ResolveRequestPath(u"/", u"../../x/"), u"/x/");
  EXPECT_EQ(ResolveRequestPath(u"", u""), u"");
}

}  // namespace
}  // namespace tessarine::client
