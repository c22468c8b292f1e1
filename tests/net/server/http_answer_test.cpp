// Answers as they leave the server: the translation endpoint, the empty answer, HEAD, failing handlers,
// method overrides and how a request reaches the handler.

#include <gtest/gtest.h>

#include <cctype>

#include "../../translate/service_fakes.h"
#include "common/exception.h"
#include "common/text.h"
#include "net/server/server_exceptions.h"
#include "server_fixture.h"
#include "translate/babylon_table.h"
#include "translate/engine_choice.h"
#include "translate/engine_hosts.h"
#include "translate/translation_service.h"

namespace tessarine::server::testing {
namespace {

// "Date: " then, e.g., "Sun, 06 Nov 1994 08:49:37 GMT": English names, two-digit day, GMT.
bool IsDateLine(const std::string& line) {
  static const std::string kDays = "Mon Tue Wed Thu Fri Sat Sun";
  static const std::string kMonths = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec";
  const std::string pattern = "Date: www, 00 mmm 0000 00:00:00 GMT";
  if (line.size() != pattern.size()) return false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '0' ? !std::isdigit(static_cast<unsigned char>(line[i]))
                          : (pattern[i] != 'w' && pattern[i] != 'm' && pattern[i] != line[i]))
      return false;
  }
  return kDays.find(line.substr(6, 3)) % 4 == 0 && kMonths.find(line.substr(14, 3)) % 4 == 0;
}

constexpr std::string_view kWrapperHead = "<div><div><div><span id=result_box class=short_text><span class=hps>";
constexpr std::string_view kWrapperTail = "</span></span></div></div><div>";

class TranslationAnswer : public HttpServerTest {
 protected:
  TranslationAnswer() {
    server.OnCommandGet = [this](TIdContext&, TIdHTTPRequestInfo& request, TIdHTTPResponseInfo& response) {
      service.IdHTTPServer1CommandGet(request, response);
    };
    start();
  }
  // The handler logs after its answer has left: the workers must be gone before the fakes are.
  ~TranslationAnswer() override { server.SetActive(false); }

  translate::fakes::FakeUpstreamClient client;
  translate::fakes::FakeLogSink log;
  translate::TEngineChoice choice;
  translate::TBabylonTable babylon;
  translate::TTranslationService service{client, log, choice, babylon, translate::TEngineHosts()};
};

TEST_F(TranslationAnswer, ExactBytesOfTheAnswer) {
  client.Reply = [](const translate::fakes::RecordedRequest&) { return u"[{\"trans\":\"Hallo, Welt\"}]"; };
  const std::string raw = exchange("GET /linxp_translate_t?text=Hello&langpair=en|de HTTP/1.1\r\nHost: x\r\n\r\n");
  const ParsedAnswer answer = ParsedAnswer::From(raw);
  ASSERT_TRUE(answer.complete) << raw;
  const std::string body = std::string(kWrapperHead) + "Hallo, Welt" + std::string(kWrapperTail);
  EXPECT_EQ(answer.statusLine, "HTTP/1.1 200 OK");
  ASSERT_EQ(answer.headers.size(), 4u) << raw;
  EXPECT_EQ(answer.headers[0], "Connection: close");
  EXPECT_EQ(answer.headers[1], "Content-Type: text/html; charset=ISO-8859-1");
  EXPECT_EQ(answer.headers[2], "Content-Length: " + std::to_string(body.size()));
  EXPECT_TRUE(IsDateLine(answer.headers[3])) << answer.headers[3];
  EXPECT_EQ(answer.body, body);
}

TEST_F(TranslationAnswer, CyrillicRequestAndLatin1Body) {
  // The engine answers with Cyrillic (not in ISO-8859-1) and Latin-1 letters.
  client.Reply = [](const translate::fakes::RecordedRequest&) {
    return FromUtf8("[{\"trans\":\"\xD0\x9F\xD1\x80\xD0\xB8 \xC3\xA9\"}]");
  };
  const std::string raw = exchange(
      "GET /linxp_translate_t?text=%D0%9F%D1%80%D0%B8%D0%B2%D0%B5%D1%82&langpair=ru|en HTTP/1.1\r\nHost: "
      "127.0.0.1:8888\r\n\r\n");
  const ParsedAnswer answer = ParsedAnswer::From(raw);
  // The local client reads the answer as UTF-8, which it is whatever the charset named.
  const std::string body = std::string(kWrapperHead) + "\xD0\x9F\xD1\x80\xD0\xB8 \xC3\xA9" + std::string(kWrapperTail);
  EXPECT_EQ(answer.body, body);
  EXPECT_EQ(answer.header("Content-Length"), std::to_string(body.size()));
  ASSERT_FALSE(client.Requests().empty());
  EXPECT_NE(client.Requests()[0].Url.find(u"q=%D0%9F%D1%80%D0%B8%D0%B2%D0%B5%D1%82&sl=ru&tl=en"), std::u16string::npos)
      << ToUtf8(client.Requests()[0].Url);
  const auto lines = log.Lines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[1], FromUtf8("\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"));
  EXPECT_EQ(lines[3], u"ru|en");
}

TEST_F(TranslationAnswer, OtherDocumentsAndMethodsGetTheEmptyAnswer) {
  for (const char* request :
       {"GET /other HTTP/1.1\r\nHost: x\r\n\r\n", "POST /linxp_translate_t HTTP/1.0\r\n\r\n",
        "DELETE /linxp_translate_t?text=a&langpair=en|ru HTTP/1.0\r\n\r\n", "PATCH / HTTP/1.0\r\n\r\n",
        // The endpoint answers GET only.
        "HEAD /linxp_translate_t?text=a&langpair=en|ru HTTP/1.0\r\n\r\n"}) {
    const ParsedAnswer answer = ParsedAnswer::From(exchange(request));
    EXPECT_EQ(answer.statusLine, "HTTP/1.1 200 OK") << request;
    EXPECT_EQ(answer.headerNames(), (std::vector<std::string>{"Connection", "Content-Length", "Date"})) << request;
    EXPECT_EQ(answer.header("Content-Length"), "0");
    EXPECT_EQ(answer.body, "");
  }
  EXPECT_TRUE(client.Requests().empty());
}

TEST_F(TranslationAnswer, HeadGetsTheHeaderOfTheBodyOnly) {
  // The handler answers GET only; a HEAD handler that sets the text shows the length rule.
  server.SetActive(false);
  server.OnCommandGet = [](TIdContext&, TIdHTTPRequestInfo&, TIdHTTPResponseInfo& response) {
    response.SetContentText(u"\u00D0\u009F");
    response.WriteContent();
  };
  start();
  const std::string raw = exchange("HEAD /linxp_translate_t?text=a&langpair=en|ru HTTP/1.0\r\n\r\n");
  const ParsedAnswer answer = ParsedAnswer::From(raw);
  EXPECT_EQ(answer.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(answer.header("Content-Length"), "2");
  EXPECT_EQ(answer.body, "");
  EXPECT_EQ(ParsedAnswer::From(exchange("GET / HTTP/1.0\r\n\r\n")).body, "\xD0\x9F");
}

TEST_F(TranslationAnswer, MissingParameterGives500WithTheMessage) {
  const std::string raw = exchange("GET /linxp_translate_t HTTP/1.0\r\n\r\n");
  const ParsedAnswer answer = ParsedAnswer::From(raw);
  EXPECT_EQ(answer.statusLine, "HTTP/1.1 500 Internal Server Error");
  EXPECT_EQ(answer.headerNames(), (std::vector<std::string>{"Connection", "Content-Type", "Content-Length", "Date"}));
  EXPECT_EQ(answer.header("Content-Type"), "text/html; charset=ISO-8859-1");
  EXPECT_EQ(answer.body, "List index out of bounds (0)");
  EXPECT_EQ(answer.header("Content-Length"), "28");

  const ParsedAnswer second = ParsedAnswer::From(exchange("GET /linxp_translate_t?text=a HTTP/1.0\r\n\r\n"));
  EXPECT_EQ(second.body, "List index out of bounds (1)");
}

TEST_F(TranslationAnswer, EngineFailureBecomes500) {
  client.Reply = [](const translate::fakes::RecordedRequest&) -> std::u16string {
    throw EIdException(std::string_view("HTTP/1.1 503 Service Unavailable"));
  };
  const ParsedAnswer answer =
      ParsedAnswer::From(exchange("GET /linxp_translate_t?text=a&langpair=en|ru HTTP/1.0\r\n\r\n"));
  EXPECT_EQ(answer.statusLine, "HTTP/1.1 500 Internal Server Error");
  EXPECT_EQ(answer.body, "HTTP/1.1 503 Service Unavailable");
}

class HandlerAnswers : public HttpServerTest {};

TEST_F(HandlerAnswers, SocketErrorInTheHandlerClosesWithoutAnswer) {
  server.OnCommandGet = [](TIdContext&, TIdHTTPRequestInfo&, TIdHTTPResponseInfo&) {
    throw net::EIdSocketError(10061, u"refused");
  };
  start();
  EXPECT_TRUE(closedWithoutAnswer("GET / HTTP/1.0\r\n\r\n"));
}

TEST_F(HandlerAnswers, FailureAfterWriteContentAppendsTheMessage) {
  server.OnCommandGet = [](TIdContext&, TIdHTTPRequestInfo&, TIdHTTPResponseInfo& response) {
    response.SetContentText(u"abc");
    response.WriteContent();
    throw Exception(std::string_view("late"));
  };
  start();
  const ParsedAnswer answer = ParsedAnswer::From(exchange("GET / HTTP/1.0\r\n\r\n"));
  EXPECT_EQ(answer.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(answer.header("Content-Length"), "3");
  EXPECT_EQ(answer.body, "abclate");
}

TEST_F(HandlerAnswers, ContentTypeWithCharsetAndHeaderRules) {
  server.OnCommandGet = [](TIdContext&, TIdHTTPRequestInfo& request, TIdHTTPResponseInfo& response) {
    if (request.Document() == u"/utf8") {
      response.SetContentType(u"text/html; charset=utf-8");
      response.SetContentText(u"\u041F");
    } else if (request.Document() == u"/twice") {
      response.WriteHeader();
      EXPECT_THROW(response.WriteHeader(), EIdHTTPHeaderAlreadyWritten);
    } else if (request.Document() == u"/content-twice") {
      response.SetContentText(u"x");
      response.WriteContent();
      response.WriteContent();
    } else {
      response.SetResponseNo(404);
      response.SetContentText(u"nf");
    }
  };
  start();
  const ParsedAnswer utf8 = ParsedAnswer::From(exchange("GET /utf8 HTTP/1.0\r\n\r\n"));
  EXPECT_EQ(utf8.header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(utf8.body, "\xD0\x9F");
  EXPECT_EQ(utf8.header("Content-Length"), "2");

  EXPECT_EQ(ParsedAnswer::From(exchange("GET /twice HTTP/1.0\r\n\r\n")).header("Content-Length"), "0");
  EXPECT_EQ(ParsedAnswer::From(exchange("GET /content-twice HTTP/1.0\r\n\r\n")).body,
            "x<HTML><BODY><B>200 OK</B></BODY></HTML>\r\n");
  const ParsedAnswer notFound = ParsedAnswer::From(exchange("GET /nf HTTP/1.0\r\n\r\n"));
  EXPECT_EQ(notFound.statusLine, "HTTP/1.1 404 Not Found");
  EXPECT_EQ(notFound.header("Server"), "");
  EXPECT_EQ(notFound.body, "nf");
}

}  // namespace
}  // namespace tessarine::server::testing
