#include <gtest/gtest.h>

#include <thread>

#include "common/exception.h"
#include "common/text.h"
#include "service_fakes.h"
#include "support/start_gate.h"
#include "translate/engine_choice.h"
#include "translate/text_codecs.h"
#include "translate/translation_service.h"

namespace tessarine::translate {
namespace {

constexpr char16_t kHead[] = u"<div><div><div><span id=result_box class=short_text><span class=hps>";
constexpr char16_t kTail[] = u"</span></span></div></div><div>";
constexpr char16_t kSeparator[] = u"__________________________________________";

using Lines = std::vector<std::u16string>;

std::u16string Wrapped(const std::u16string& result) { return kHead + result + kTail; }

Lines NineLines(const std::u16string& text, const std::u16string& langs, const std::u16string& result) {
  return {u"Получение данных", text, u"Получение значения языка", langs, u"Сервис", u"Google", u"Результат", result,
          kSeparator};
}

class EndpointHandler : public ::testing::Test {
 protected:
  EndpointHandler() {
    // Google answers with its query text, so an answer shows which request it belongs to.
    client.Reply = [](const fakes::RecordedRequest& r) {
      return u"[{\"trans\":\"" + TextBetween(u"&q=", r.Url, u"&sl=") + u"\"}]";
    };
  }

  fakes::FakeResponseInfo handle(TStringList params, THTTPCommandType command = THTTPCommandType::hcGET,
                                 std::u16string path = u"/linxp_translate_t") {
    fakes::FakeRequestInfo request;
    request.Command = command;
    request.Path = std::move(path);
    request.Query = std::move(params);
    fakes::FakeResponseInfo response;
    response.OnWrite = [this] { linesAtWrite = log.Lines().size(); };
    service.IdHTTPServer1CommandGet(request, response);
    return response;
  }

  std::u16string lastUrl() const { return client.Requests().empty() ? u"" : client.Requests().back().Url; }

  fakes::FakeUpstreamClient client;
  fakes::FakeLogSink log;
  TEngineChoice choice;
  TBabylonTable babylon;
  TTranslationService service{client, log, choice, babylon, TEngineHosts()};
  size_t linesAtWrite = 0;
};

TEST_F(EndpointHandler, CompleteRequestLogsNineLinesAndWritesTheWrapper) {
  const auto response = handle({u"text=Hello", u"langpair=en|ru"});
  EXPECT_EQ(response.Content, Wrapped(u"Hello"));
  EXPECT_EQ(response.Writes, 1);
  EXPECT_EQ(linesAtWrite, 6u);  // the answer leaves before the result is logged
  EXPECT_EQ(log.Lines(), NineLines(u"Hello", u"en|ru", u"Hello"));
  EXPECT_NE(lastUrl().find(u"q=Hello&sl=en&tl=ru&"), std::u16string::npos);
}

TEST_F(EndpointHandler, DecodesUtf8TextAndOddParameters) {
  handle({Widen("text=\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"), u"langpair=en"});
  EXPECT_EQ(log.Lines()[1], u"\u041F\u0440\u0438\u0432\u0435\u0442");
  EXPECT_EQ(log.Lines()[3], u"en|");
  EXPECT_NE(lastUrl().find(u"q=%D0%9F%D1%80"), std::u16string::npos);

  EXPECT_EQ(handle({u"langpair=en|ru", u"text=ab"}).Content, Wrapped(u""));
  EXPECT_NE(lastUrl().find(u"q=&sl=&tl=&"), std::u16string::npos);
  EXPECT_EQ(log.Lines().size(), 9u + 5u);

  handle({u"context=abc", u"langpair=|ru|xx|yy"});
  EXPECT_EQ(log.Lines()[15], u"xt=abc");
  EXPECT_EQ(log.Lines()[17], u"|ru");

  // Lone surrogates reach the log (text) and the answer (result) as U+FFFD.
  handle({Widen("text=\xED\xA0\x80"), u"langpair=en|ru"});
  EXPECT_EQ(log.Lines()[24], u"\uFFFD");
  client.Reply = [](const fakes::RecordedRequest&) { return u"\"trans\":\"\\ud800\""; };
  EXPECT_EQ(handle({u"text=a", u"langpair=en|ru"}).Content, Wrapped(Widen("\xEF\xBF\xBD")));
  EXPECT_EQ(log.Lines()[39], u"\uFFFD");
}

// The local client reads the answer as UTF-8; the log shows the characters.
TEST_F(EndpointHandler, TheAnswerCarriesUtf8AndTheLogTheCharactersHoweverTheReplyCame) {
  const std::u16string characters = u"\u041F\u0440\u0438\u0432\u0435\u0442 \u00e9 \U0001F600";
  const std::u16string utf8 = Widen("\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xC3\xA9 \xF0\x9F\x98\x80");
  const std::vector<std::pair<std::u16string, std::u16string>> replies = {
      {u"", utf8},  // raw UTF-8 without a charset: one character per byte
      {u"", u"\\u041f\\u0440\\u0438\\u0432\\u0435\\u0442 \\u00e9 \\ud83d\\ude00"},
      {u"UTF-8", characters},
      {u"windows-1251", characters}};
  for (const auto& [charSet, text] : replies) {
    client.CharSet = charSet;
    client.Reply = [text = text](const fakes::RecordedRequest&) { return u"[{\"trans\":\"" + text + u"\"}]"; };
    log.Clear();
    EXPECT_EQ(handle({u"text=a", u"langpair=en|ru"}).Content, Wrapped(utf8)) << ToUtf8(charSet);
    EXPECT_EQ(log.Lines()[7], characters) << ToUtf8(charSet);
  }
  // A Latin-1 engine that names no charset: its bytes that are no UTF-8 are its letters.
  client.CharSet.clear();
  client.Reply = [](const fakes::RecordedRequest&) { return Widen("\"trans\":\"caf\xE9 \xC3\xA9\""); };
  EXPECT_EQ(handle({u"text=a", u"langpair=en|ru"}).Content, Wrapped(Widen("caf\xC3\xA9 \xC3\xA9")));
}

TEST_F(EndpointHandler, OtherRequestsAreLeftUntouched) {
  using enum THTTPCommandType;
  for (const auto& [command, path] : {std::pair{hcPOST, u"/linxp_translate_t"},
                                      {hcHEAD, u"/linxp_translate_t"},
                                      {hcGET, u"/LINXP_translate_t"},
                                      {hcGET, u"/linxp_translate_t/"}}) {
    EXPECT_EQ(handle({u"text=a", u"langpair=en|ru"}, command, path).Writes, 0);
  }
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_TRUE(client.Requests().empty());
}

TEST_F(EndpointHandler, EngineChoiceDecidesTheCall) {
  choice.SetCheckedFlags({false, false, false, false, false, false});
  EXPECT_EQ(handle({u"text=a", u"langpair=en|ru"}).Content, Wrapped(u""));
  EXPECT_EQ(log.Lines(),
            (Lines{u"Получение данных", u"a", u"Получение значения языка", u"en|ru", u"Результат", u"", kSeparator}));
  EXPECT_TRUE(client.Requests().empty());

  choice.SetCheckedFlags({false, false, true, false, false, true});
  handle({u"text=a", u"langpair=en|ru"});
  EXPECT_EQ(log.Lines()[12], u"Yandex");
  EXPECT_EQ(client.Requests().size(), 1u);
  EXPECT_EQ(lastUrl().rfind(u"https://translate.yandex.net/", 0), 0u);
}

TEST_F(EndpointHandler, MissingParametersRaiseTheIndexError) {
  const auto expectIndexError = [this](TStringList params, const char16_t* message) {
    try {
      handle(std::move(params));
      ADD_FAILURE() << "no exception";
    } catch (const EStringListError& e) {
      EXPECT_EQ(e.Message(), message);
    }
  };
  expectIndexError({}, u"List index out of bounds (0)");
  EXPECT_TRUE(log.Lines().empty());
  expectIndexError({u"text=a"}, u"List index out of bounds (1)");
  EXPECT_EQ(log.Lines(), (Lines{u"Получение данных", u"a"}));
  EXPECT_TRUE(client.Requests().empty());
}

TEST_F(EndpointHandler, EngineFailurePassesThroughBeforeAnyAnswerAndIsLogged) {
  client.Reply = [](const fakes::RecordedRequest&) -> std::u16string {
    throw EIdException("HTTP/1.1 503 Service Unavailable");
  };
  EXPECT_THROW(handle({u"text=a", u"langpair=en|ru"}), EIdException);
  EXPECT_EQ(linesAtWrite, 0u);
  EXPECT_EQ(log.Lines(), (Lines{u"Получение данных", u"a", u"Получение значения языка", u"en|ru",
                                u"Google: HTTP/1.1 503 Service Unavailable"}));
}

// The local server ends a connection unanswered on a socket error; one from the engine's connection must reach
// it as an engine failure instead, code and message kept.
TEST_F(EndpointHandler, EngineSocketErrorsBecomeEngineFailures) {
  for (const auto& [code, message] :
       std::vector<std::pair<int, std::u16string>>{{11001, u"Socket Error # 11001\r\nHost not found."},
                                                   {10061, u"Socket Error # 10061\r\nConnection refused."},
                                                   {10060, u"Socket Error # 10060\r\nConnection timed out."}}) {
    client.Reply = [code = code, message = message](const fakes::RecordedRequest&) -> std::u16string {
      throw EIdSocketError(code, message);
    };
    log.Clear();
    try {
      handle({u"text=a", u"langpair=en|ru"});
      ADD_FAILURE() << "no failure for " << code;
    } catch (const EIdSocketError&) {
      ADD_FAILURE() << "a socket error left the handler for " << code;
    } catch (const EEngineConnectionError& e) {
      EXPECT_EQ(e.Message(), message);
      EXPECT_EQ(e.LastError(), code);
    }
    EXPECT_EQ(log.Lines().back(), u"Google: " + message);
  }
}

TEST_F(EndpointHandler, CallEndedBySwitchingOffIsNotLoggedAsAnEngineFailure) {
  client.Stopped = true;
  client.Reply = [](const fakes::RecordedRequest&) -> std::u16string { throw EIdException("Disconnected."); };
  EXPECT_THROW(handle({u"text=a", u"langpair=en|ru"}), EIdException);
  EXPECT_EQ(log.Lines().size(), 4u);
}

TEST_F(EndpointHandler, SimultaneousRequestsNeverShareTheClient) {
  {  // the detector itself: a second thread opening a call while one is open
    fakes::FakeUpstreamClient probe;
    probe.CustomHeadersClear();
    std::thread([&] { probe.CustomHeadersClear(); }).join();
    ASSERT_TRUE(probe.Overlapped());
  }
  constexpr int kThreads = 16;
  tessarine::test_support::StartGate start(kThreads);
  std::vector<std::u16string> answers(kThreads);
  std::vector<std::thread::id> ids(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      fakes::FakeRequestInfo request;
      request.Query = {u"text=w" + IntToStr(i), u"langpair=en|ru"};
      fakes::FakeResponseInfo response;
      ids[i] = std::this_thread::get_id();
      start.arrive_and_wait();
      service.IdHTTPServer1CommandGet(request, response);
      answers[i] = response.Content;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_FALSE(client.Overlapped());
  EXPECT_EQ(client.Requests().size(), static_cast<size_t>(kThreads));
  for (int i = 0; i < kThreads; ++i) {
    const std::u16string word = u"w" + IntToStr(i);
    EXPECT_EQ(answers[i], Wrapped(word));
    EXPECT_EQ(log.Lines(ids[i]), NineLines(word, u"en|ru", word));
  }
}

}  // namespace
}  // namespace tessarine::translate
