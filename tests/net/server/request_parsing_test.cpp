// How requests are read: the failure list (each with its exact outcome), bodies, parameters, methods and the
// fields the handler sees.

#include <gtest/gtest.h>

#include <mutex>
#include <optional>

#include "common/text.h"
#include "server_fixture.h"

namespace tessarine::server::testing {
namespace {

using translate::THTTPCommandType;

// What a handler saw, copied out under a lock (the handler runs on a worker thread).
struct Seen {
  std::u16string Command, Document, URI, QueryParams, Host, AuthUsername, AuthPassword, FormParams, Version;
  THTTPCommandType CommandType = THTTPCommandType::hcUnknown;
  std::vector<std::u16string> Params;
  std::vector<std::pair<std::u16string, std::u16string>> Cookies;
  std::string Body;
  bool AuthExists = false;
  int VersionMajor = 0, VersionMinor = 0;
  std::string Handler;
};

class RequestParsing : public HttpServerTest {
 protected:
  RequestParsing() {
    server.OnCommandGet = [this](TIdContext&, TIdHTTPRequestInfo& request, TIdHTTPResponseInfo&) {
      record("get", request);
    };
    server.OnCommandOther = [this](TIdContext&, TIdHTTPRequestInfo& request, TIdHTTPResponseInfo&) {
      record("other", request);
    };
    start();
  }

  void record(const char* handler, TIdHTTPRequestInfo& request) {
    Seen s;
    s.Handler = handler;
    s.Command = request.Command;
    s.CommandType = request.CommandType();
    s.Document = request.Document();
    s.URI = request.URI;
    s.QueryParams = request.QueryParams;
    s.Host = request.Host;
    s.Params = request.Params().Items();
    for (const TIdCookie& c : request.Cookies) s.Cookies.emplace_back(c.CookieName, c.Value);
    s.AuthExists = request.AuthExists;
    s.AuthUsername = request.AuthUsername;
    s.AuthPassword = request.AuthPassword;
    s.FormParams = request.FormParams;
    s.Version = request.Version;
    s.VersionMajor = request.VersionMajor;
    s.VersionMinor = request.VersionMinor;
    if (request.PostStream() != nullptr) {
      s.Body.resize(static_cast<size_t>(request.PostStream()->Size()));
      request.PostStream()->Read(s.Body.data(), s.Body.size());
    }
    std::lock_guard lock(m_mutex);
    m_seen = std::move(s);
  }

  // The request as the handler saw it; empty when the handler was not called.
  std::optional<Seen> handled(std::string_view request) {
    {
      std::lock_guard lock(m_mutex);
      m_seen.reset();
    }
    const std::string raw = exchange(request);
    EXPECT_EQ(raw.substr(0, 15), "HTTP/1.1 200 OK") << request;
    std::lock_guard lock(m_mutex);
    return m_seen;
  }

  bool handlerCalled() {
    std::lock_guard lock(m_mutex);
    return m_seen.has_value();
  }

  // The exact error answer of the request reader, and the handler not called. The client half-closes, as one
  // that has sent its whole request may, so that the server need not wait for more of it.
  void expectRefusal(std::string_view request, const std::string& statusLine) {
    {
      std::lock_guard lock(m_mutex);
      m_seen.reset();
    }
    RawSocket socket = connect();
    socket.Send(request);
    socket.ShutdownWrite();
    const ParsedAnswer answer = ParsedAnswer::From(ReadToClose(socket));
    EXPECT_EQ(answer.statusLine, statusLine) << request;
    EXPECT_EQ(answer.headerNames(), (std::vector<std::string>{"Connection", "Content-Length", "Date"}));
    EXPECT_EQ(answer.header("Connection"), "close");
    EXPECT_EQ(answer.header("Content-Length"), "0");
    EXPECT_EQ(answer.body, "");
    EXPECT_FALSE(handlerCalled()) << request;
  }

  void expectStillServing() { EXPECT_TRUE(handled("GET /alive HTTP/1.0\r\n\r\n").has_value()); }

  std::mutex m_mutex;

 private:
  std::optional<Seen> m_seen;
};

TEST_F(RequestParsing, TranslationRequestFields) {
  const auto seen = handled("GET /linxp_translate_t?text=%D0%9F&langpair=en%7Cru HTTP/1.1\r\nHost: h:8888\r\n\r\n");
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->CommandType, THTTPCommandType::hcGET);
  EXPECT_EQ(seen->Document, u"/linxp_translate_t");
  EXPECT_EQ(seen->QueryParams, u"text=%D0%9F&langpair=en%7Cru");
  EXPECT_EQ(seen->Params, (std::vector<std::u16string>{u"text=\u00D0\u009F", u"langpair=en|ru"}));
  EXPECT_EQ(seen->Host, u"h:8888");
  EXPECT_EQ(seen->Version, u"HTTP/1.1");
  EXPECT_EQ(seen->VersionMajor, 1);
  EXPECT_EQ(seen->VersionMinor, 1);
}

TEST_F(RequestParsing, ParameterPieces) {
  auto params = [this](const std::string& query, const std::string& headers = "") {
    const auto seen = handled("GET /p?" + query + " HTTP/1.0\r\n" + headers + "\r\n");
    return seen ? seen->Params : std::vector<std::u16string>{u"<not handled>"};
  };
  using V = std::vector<std::u16string>;
  EXPECT_EQ(params("a&&b"), (V{u"a", u"", u"b"}));
  EXPECT_EQ(params("a&"), (V{u"a"}));
  EXPECT_EQ(params("&a"), (V{u"", u"a"}));
  EXPECT_EQ(params("x=a+b%2Bc%zz!"), (V{u"x=a b+c!"}));
  EXPECT_EQ(params("t=%D0%9F", "Content-Type: text/plain; charset=utf-8\r\n"), (V{u"t=\u041F"}));
  // A raw byte above 0x7F reads as U+FFFD, whose low byte is what percent-decoding keeps.
  EXPECT_EQ(params("t=\xD0"), (V{u"t=\u00FD"}));
}

TEST_F(RequestParsing, DocumentDecoding) {
  auto document = [this](const std::string& target) {
    const auto seen = handled("GET " + target + " HTTP/1.0\r\n\r\n");
    return seen ? seen->Document : u"<not handled>";
  };
  EXPECT_EQ(document("/%D0%9F"), u"/\u041F");
  EXPECT_EQ(document("/a\\b/c#frag"), u"/a/b/c");
  EXPECT_EQ(document("*"), u"*");
  EXPECT_EQ(document("/a b/c"), u"/a b/c");
  const auto absolute = handled("GET http://example.org:81/x/y?q=1 HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(absolute);
  EXPECT_EQ(absolute->Document, u"/x/y");
  EXPECT_EQ(absolute->Host, u"example.org");
}

TEST_F(RequestParsing, MethodsAndOverrides) {
  struct Case {
    std::string request;
    std::string handler;
    std::u16string command;
    THTTPCommandType type;
  };
  const std::vector<Case> cases = {
      {"head / HTTP/1.0\r\n\r\n", "get", u"HEAD", THTTPCommandType::hcHEAD},
      {"Get / HTTP/1.0\r\n\r\n", "get", u"GET", THTTPCommandType::hcGET},
      {"post / HTTP/1.0\r\nContent-Length: 0\r\n\r\n", "get", u"POST", THTTPCommandType::hcPOST},
      {"PATCH / HTTP/1.0\r\n\r\n", "other", u"PATCH", THTTPCommandType::hcUnknown},
      {"OPTIONS * HTTP/1.0\r\n\r\n", "other", u"OPTIONS", THTTPCommandType::hcOPTION},
      {"POST / HTTP/1.0\r\nX-HTTP-Method: put\r\nContent-Length: 0\r\n\r\n", "other", u"PUT", THTTPCommandType::hcPUT},
      {"POST / HTTP/1.0\r\nX-HTTP-Method-Override: delete\r\nX-HTTP-Method: put\r\n\r\n", "other", u"DELETE",
       THTTPCommandType::hcDELETE},
      {"POST / HTTP/1.0\r\nX-METHOD-OVERRIDE: Trace\r\n\r\n", "other", u"TRACE", THTTPCommandType::hcTRACE},
      // Overrides apply to POST only.
      {"GET / HTTP/1.0\r\nX-HTTP-Method: put\r\n\r\n", "get", u"GET", THTTPCommandType::hcGET},
  };
  for (const Case& c : cases) {
    const auto seen = handled(c.request);
    ASSERT_TRUE(seen) << c.request;
    EXPECT_EQ(seen->Handler, c.handler) << c.request;
    EXPECT_EQ(seen->Command, c.command) << c.request;
    EXPECT_EQ(seen->CommandType, c.type) << c.request;
  }
}

TEST_F(RequestParsing, BodiesByLengthAndChunks) {
  const auto sized = handled(
      "POST /f HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: 7\r\n\r\na=1&b=2");
  ASSERT_TRUE(sized);
  EXPECT_EQ(sized->FormParams, u"a=1&b=2");
  EXPECT_EQ(sized->Params, (std::vector<std::u16string>{u"a=1", u"b=2"}));

  const auto chunked = handled(
      "POST /f?q=3 HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\nContent-Type: application/"
      "x-www-form-urlencoded; charset=utf-8\r\n\r\n3;ext=1\r\na=1\r\n4\r\n&b=2\r\n0\r\nTrailer: x\r\n\r\n");
  ASSERT_TRUE(chunked);
  EXPECT_EQ(chunked->FormParams, u"a=1&b=2");
  EXPECT_EQ(chunked->Params, (std::vector<std::u16string>{u"a=1", u"b=2", u"q=3"}));

  static constexpr char kBinary[] = "PUT /b HTTP/1.0\r\nContent-Length: 3\r\n\r\n\x01\x00\xFF";
  const auto binary = handled(std::string(kBinary, sizeof(kBinary) - 1));
  ASSERT_TRUE(binary);
  EXPECT_EQ(binary->Body, std::string("\x01\x00\xFF", 3));

  // Without a length and without waiting bytes a POST simply has no body.
  const auto empty = handled("POST /e HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->Body, "");
}

TEST_F(RequestParsing, CookiesAndBasicAuthorization) {
  const auto seen = handled(
      "GET / HTTP/1.0\r\nCookie: SESSIONIDS=ABC; b = \"q v\" ; flag\r\nCookie: c=3\r\n"
      "Authorization: Basic dXNlcjpwYTpzcw==\r\n\r\n");
  ASSERT_TRUE(seen);
  using Pairs = std::vector<std::pair<std::u16string, std::u16string>>;
  EXPECT_EQ(seen->Cookies, (Pairs{{u"SESSIONIDS", u"ABC"}, {u"b", u"q v"}, {u"", u""}, {u"c", u"3"}}));
  EXPECT_TRUE(seen->AuthExists);
  EXPECT_EQ(seen->AuthUsername, u"user");
  EXPECT_EQ(seen->AuthPassword, u"pa:ss");
}

TEST_F(RequestParsing, MalformedRequestsCloseWithoutAnswer) {
  EXPECT_TRUE(closedWithoutAnswer("NOSPACE\r\n\r\n"));
  EXPECT_TRUE(closedWithoutAnswer("GET / HTTP/1.0\r\nAuthorization: Digest abc\r\n\r\n"));
  EXPECT_TRUE(closedWithoutAnswer("GET / HTTP/1.0\r\nAuthorization:\r\n\r\n"));
  EXPECT_TRUE(closedWithoutAnswer("GET / HTTP/1.0\r\n"));  // the client stops sending and closes
  EXPECT_FALSE(handlerCalled());
  expectStillServing();
}

TEST_F(RequestParsing, RequestsOverTheLimitsAreRefusedWithTheirStatus) {
  std::vector<std::pair<int, std::u16string>> refused;
  server.OnRequestRefused = [&](TIdContext&, int responseNo, const std::u16string& reason) {
    std::lock_guard lock(m_mutex);
    refused.emplace_back(responseNo, reason);
  };
  // The line limit counts the CR: 16383 bytes and CR LF still make a line.
  const std::string target = "/linxp_translate_t?text=" + std::string(16383 - 24 - 13, 'a');
  EXPECT_TRUE(handled("GET " + target + " HTTP/1.0\r\n\r\n").has_value());
  // 1025 header lines are the most, and 16383 bytes the longest line, that a request may have.
  std::string headers;
  for (int i = 0; i < 1024; ++i) headers += "X-" + std::to_string(i) + ": v\r\n";
  EXPECT_TRUE(handled("GET / HTTP/1.0\r\n" + headers + "X: " + std::string(16380, 'v') + "\r\n\r\n").has_value());

  expectRefusal("GET " + target + "a HTTP/1.0\r\n\r\n", "HTTP/1.1 414 URI Too Long");
  // Not even the end of the line needs to come.
  expectRefusal("GET /" + std::string(20000, 'a'), "HTTP/1.1 414 URI Too Long");
  expectRefusal("GET / HTTP/1.0\r\nX: " + std::string(16400, 'v') + "\r\n\r\n",
                "HTTP/1.1 431 Request Header Fields Too Large");
  expectRefusal("GET / HTTP/1.0\r\n" + headers + "X-a: v\r\nX-b: v\r\n\r\n",
                "HTTP/1.1 431 Request Header Fields Too Large");
  std::lock_guard lock(m_mutex);
  EXPECT_EQ(refused, (std::vector<std::pair<int, std::u16string>>{{414, u"request line longer than 16384 bytes"},
                                                                  {414, u"request line longer than 16384 bytes"},
                                                                  {431, u"header line longer than 16384 bytes"},
                                                                  {431, u"more than 1025 header lines"}}));
}

TEST_F(RequestParsing, AClientStillSendingAnOverLongRequestReadsItsRefusal) {
  // Far more than one receive takes in: closing with it unread would reset the connection under the sender.
  RawSocket socket = connect();
  // A small send buffer keeps the client sending while the server decides.
  const int sendBuffer = 16384;
  test_support::SetSocketOption(socket.Fd(), SOL_SOCKET, SO_SNDBUF, sendBuffer);
  socket.Send("GET /" + std::string(600000, 'a') + " HTTP/1.0\r\n\r\n");
  EXPECT_EQ(ParsedAnswer::From(socket.Receive(SIZE_MAX)).statusLine, "HTTP/1.1 414 URI Too Long");
  expectStillServing();
}

TEST_F(RequestParsing, RefusalsWithStatus) {
  expectRefusal("GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request");
  // A space before the colon makes the line no Host line.
  expectRefusal("GET / HTTP/1.1\r\nHost : x\r\n\r\n", "HTTP/1.1 400 Bad Request");
  expectRefusal("POST / HTTP/1.0\r\nTransfer-Encoding: gzip\r\nContent-Length: 1\r\n\r\nx", "HTTP/1.1 400 Bad Request");
  expectRefusal("POST / HTTP/1.0\r\n\r\nbody", "HTTP/1.1 411 Length Required");
  expectRefusal("PUT / HTTP/1.0\r\n\r\nbody", "HTTP/1.1 411 Length Required");
  // A length past 64 bits is no length (it once wrapped to 4 and the body was read as "abcd").
  expectRefusal("POST / HTTP/1.0\r\nContent-Length: 18446744073709551620\r\n\r\nabcd", "HTTP/1.1 411 Length Required");
  expectRefusal("POST / HTTP/1.1\r\nHost: h\r\nExpect: something\r\nContent-Length: 1\r\n\r\n",
                "HTTP/1.1 417 Expectation Failed");
  expectStillServing();
  // HTTP/1.0 needs no Host; and an older version does not look at Expect.
  EXPECT_TRUE(handled("GET / HTTP/1.0\r\nExpect: something\r\n\r\n").has_value());
}

TEST_F(RequestParsing, ExpectContinueGetsTheInterimLine) {
  RawSocket socket = connect();
  socket.Send("POST /c HTTP/1.1\r\nHost: h\r\nExpect: 100-Continue\r\nContent-Length: 2\r\n\r\n");
  EXPECT_EQ(socket.Receive(25), "HTTP/1.1 100 Continue\r\n\r\n");
  socket.Send("ok");
  const ParsedAnswer answer = ParsedAnswer::From(ReadToClose(socket));
  EXPECT_EQ(answer.statusLine, "HTTP/1.1 200 OK");
  EXPECT_TRUE(handlerCalled());
}

TEST_F(RequestParsing, AVersionWithAControlCharacterIsNoKnownVersion) {
  // A stray CR before CR LF, a tab or a NUL after the digits: the minor number is no number, so neither the
  // Host check nor Expect applies, and no interim line can carry the character into a status line.
  for (const std::string& tail : {std::string("\r"), std::string("\t"), std::string(1, '\0')}) {
    const std::string version = "HTTP/1.1" + tail;
    const auto seen = handled("GET / " + version + "\r\n\r\n");
    ASSERT_TRUE(seen) << "tail " << static_cast<int>(tail[0]);
    EXPECT_EQ(ToUtf8(seen->Version), version);
    EXPECT_EQ(seen->VersionMajor, 1);
    EXPECT_EQ(seen->VersionMinor, -1);
    EXPECT_TRUE(handled("GET / " + version + "\r\nHost: h\r\nExpect: something\r\n\r\n").has_value());
  }
  // Digits alone are still read as numbers.
  const auto leadingZero = handled("GET / HTTP/01.01\r\nHost: h\r\n\r\n");
  ASSERT_TRUE(leadingZero);
  EXPECT_EQ(leadingZero->VersionMajor, 1);
  EXPECT_EQ(leadingZero->VersionMinor, 1);
}

TEST_F(RequestParsing, AnnouncedSizesAreNotAllocatedUpFront) {
  // Far more than the machine has: reading must grow with the bytes that arrive, then fail quietly.
  EXPECT_TRUE(closedWithoutAnswer("POST / HTTP/1.0\r\nContent-Length: 9000000000000000000\r\n\r\nabc"));
  EXPECT_TRUE(
      closedWithoutAnswer("POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n7FFFFFFFFFFFFFF0\r\nabc"));
  // Too large for 63 bits counts as no number, which ends the chunks.
  EXPECT_TRUE(handled("POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFF\r\n\r\n")
                  .has_value());
  expectStillServing();
}

TEST_F(RequestParsing, SessionCookieIsIgnoredAndNoAnswerSetsOne) {
  EXPECT_FALSE(server.SessionState());
  const std::string raw = exchange("GET / HTTP/1.0\r\nCookie: SESSIONIDS=ABCDEFGHIJKLMNO\r\n\r\n");
  EXPECT_EQ(raw.find("Set-Cookie"), std::string::npos) << raw;
}

TEST_F(RequestParsing, AnIdleClientDoesNotHoldUpOthers) {
  RawSocket idle = connect();
  idle.Send("GET / HTTP/1.0\r\n");
  RawSocket half = connect();
  expectStillServing();
  expectRefusal("GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request");
}

}  // namespace
}  // namespace tessarine::server::testing
