#include <gtest/gtest.h>

#include "common/exception.h"
#include "common/text.h"
#include "service_fakes.h"
#include "translate/engine_choice.h"
#include "translate/translation_service.h"

namespace tessarine::translate {
namespace {

using fakes::RecordedRequest;
using Lines = std::vector<std::u16string>;

constexpr char16_t kSystranStart[] = u"value=\"1010/noun:common\" id=\"token_1\">";
constexpr char16_t kAcceptLanguage[] = u"Accept-Language: ru-RU,ru;q=0.8,en-US;q=0.6,en;q=0.4";

const Lines kPromtHeaders = {
    u"Content-Type: application/json; charset=UTF-8",
    u"Accept: application/json, text/javascript, */*; q=0.01",
    u"X-Requested-With: XMLHttpRequest",
    u"Accept-Language: ru-RU",
    u"DNT: 1",
    u"Referer: http://www.online-translator.com/",
    u"Accept-Encoding: gzip, deflate",
    kAcceptLanguage,
    u"Cookie: BrowserTypeTouch=desktop; UserParams=prmtULang=ru; LoggedUserParams=loggedOn=false&userLogin=&"
    u"sessionID=&userName=&encodedUserName=&userSurname=; prmtULang=ru; tooltip=1; "
    u"selDirText=selectedDir=ru-en&selectedTpl=auto&detectedTpl=General"};

const Lines kSystranHeaders = {u"Content-Type: application/x-www-form-urlencoded; charset=UTF-8",
                               u"Accept: */*",
                               u"DNT: 1",
                               u"Referer: http://www.systranet.com/translate",
                               u"Accept-Encoding: gzip, deflate",
                               kAcceptLanguage,
                               u"Cookie: txtPop=0; lphistory=en_ru;"};

class Translateget : public ::testing::Test {
 protected:
  // SYSTRAN needs two items in a reply; the other engines find nothing in this one.
  std::u16string reply = kSystranStart + std::u16string(u"a</span>") + kSystranStart + u"b</span>";

  Translateget() {
    client.Reply = [this](const RecordedRequest&) { return reply; };
  }
  RecordedRequest call(int engine, const std::u16string& text, const std::u16string& in, const std::u16string& out) {
    service.translateget(text, out, in, engine, u"UTF-8");
    const auto requests = client.Requests();
    return requests.empty() ? RecordedRequest{} : requests.back();
  }
  std::u16string translate(int engine, const std::u16string& engineReply) {
    reply = engineReply;
    return service.translateget(u"Hello", u"de", u"en", engine, u"UTF-8");
  }

  fakes::FakeUpstreamClient client;
  fakes::FakeLogSink log;
  TEngineChoice choice;
  TBabylonTable babylon;
  TEngineHosts hosts;
  TTranslationService service{client, log, choice, babylon, hosts};
};
using EngineRequests = Translateget;
using ReplyExtraction = Translateget;

TEST_F(EngineRequests, GetEnginesCarryEverythingInTheUrl) {
  const std::pair<int, std::u16string> cases[] = {
      {kGoogle,
       u"http://clients5.google.com/translate_a/t?client=dict-chrome-ex&q=Hello%20world&sl=en&tl=ru&tbb=1&"
       u"ie=UTF-8&oe=UTF-8"},
      {kBing,
       u"http://api.microsofttranslator.com/v2/ajax.svc/Translate?&appId=5F19C0A7E2B84D3361A0C9F7E4D2B8A190C3E57B&"
       u"from=en&to=ru&text=Hello%20world"},
      {kYandex,
       u"https://translate.yandex.net/api/v1/tr.json/translate?id=3c8d1f70.2e4a9b61.7d05c3aa-0-0&srv=tr-text&"
       u"lang=en-ru&reason=auto&text=Hello%20world&options=4"},
      {kBabylon,
       u"http://translation.babylon-software.com/translate/babylon.php?v=1.0&q=Hello%20world&langpair=0%7C7&"
       u"callback=babylonTranslator.callback&context=babylon.7.0._babylon_api_response"}};
  for (const auto& [engine, url] : cases) {
    const RecordedRequest r = call(engine, u"Hello world", u"en", u"ru");
    EXPECT_EQ(r.Method, u"GET");
    EXPECT_EQ(r.Url, url);
    EXPECT_TRUE(r.HeaderLines.empty());
  }
  EXPECT_NE(call(kYandex, u"x", u"", u"de").Url.find(u"&lang=-de&"), std::u16string::npos);
  EXPECT_NE(call(kBabylon, u"x", u"he", u"ru").Url.find(u"&langpair=%7C7&"), std::u16string::npos);
}

TEST_F(EngineRequests, PromtPostsAScriptLiteralWithNineHeaders) {
  const RecordedRequest r = call(kPromt, u"it's a&b", u"en", u"ru");
  EXPECT_EQ(r.Method, u"POST");
  EXPECT_EQ(r.Url, u"http://www.online-translator.com/services/TranslationService.asmx/GetTranslateNew");
  EXPECT_EQ(r.HeaderLines, kPromtHeaders);
  EXPECT_EQ(r.Body,
            "{ dirCode:'en-ru', template:'auto', text:'it%27s%20a%26b', lang:'ru', limit:3000,useAutoDetect:true, "
            "key:'', ts:'MainSite',tid:'',IsMobile:false}");
  EXPECT_EQ(call(kPromt, u"x", u"auto", u"en").Body.rfind("{ dirCode:'au-en', template:'auto', text:'x'", 0), 0u);
  EXPECT_EQ(call(kPromt, u"x", u"AUTO", u"en").Body.rfind("{ dirCode:'AUTO-en', template", 0), 0u);
  // A later call carries only its own engine's headers, once each.
  EXPECT_EQ(call(kPromt, u"x", u"en", u"ru").HeaderLines, kPromtHeaders);
  EXPECT_TRUE(call(kGoogle, u"x", u"en", u"ru").HeaderLines.empty());
}

TEST_F(EngineRequests, SystranPostsTheRawTextInAnHtmlFrame) {
  RecordedRequest r = call(kSystran, u"it's a&b \u0416", u"en", u"ru");
  EXPECT_EQ(r.Method, u"POST");
  EXPECT_EQ(r.Url,
            u"http://www.systranet.com/sai?gui=WebUI&lp=ru_en&sessionid=27418096530172645&"
            u"service=systranettranslate");
  EXPECT_EQ(r.HeaderLines, kSystranHeaders);
  EXPECT_EQ(r.Body, "<html><body>it's a&b \xD0\x96</body></html>");
  r = call(kSystran, u"x", u"auto", u"de");
  EXPECT_EQ(r.HeaderLines.back(), u"Cookie: txtPop=0; lphistory=en_de;");
  EXPECT_NE(r.Url.find(u"lp=ru_en"), std::u16string::npos);
}

TEST_F(EngineRequests, ConfiguredHostsReachUrlAndReferer) {
  hosts.SetHost(kPromt, u"127.0.0.1:8081");
  hosts.SetHost(kSystran, u"[::1]:8082");
  TTranslationService local{client, log, choice, babylon, hosts};
  local.translateget(u"x", u"ru", u"en", kPromt, u"UTF-8");
  local.translateget(u"x", u"ru", u"en", kSystran, u"UTF-8");
  const auto requests = client.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].Url.rfind(u"http://127.0.0.1:8081/services/", 0), 0u);
  EXPECT_EQ(requests[0].HeaderLines[5], u"Referer: http://127.0.0.1:8081/");
  EXPECT_EQ(requests[1].Url.rfind(u"http://[::1]:8082/sai?", 0), 0u);
  EXPECT_EQ(requests[1].HeaderLines[3], u"Referer: http://[::1]:8082/translate");
}

TEST_F(EngineRequests, UnknownEngineSendsNothing) {
  EXPECT_EQ(service.translateget(u"x", u"ru", u"en", 6, u"UTF-8"), u"");
  EXPECT_EQ(service.translateget(u"x", u"ru", u"en", -1, u"UTF-8"), u"");
  EXPECT_TRUE(client.Requests().empty());
}

TEST_F(ReplyExtraction, EachEngineCutsBetweenItsMarkers) {
  EXPECT_EQ(translate(kGoogle, u"[{\"trans\":\"Hallo\",\"orig\":\"Hello\"},{\"trans\":\"X\"}]"), u"Hallo");
  EXPECT_EQ(translate(kBing, u"\uFEFF\"Hallo\" \"X\""), u"Hallo");
  EXPECT_EQ(translate(kYandex, u"{\"lang\":\"en-de\",\"text\":[\"Hallo\"]}"), u"Hallo");
  EXPECT_EQ(translate(kBabylon, u"babylonTranslator.callback({\"translatedText\":\"Hallo\"},200);"), u"Hallo");
  EXPECT_EQ(translate(kPromt, u"{\"d\":{\"result\":\"Hallo\",\"x\":1}}"), u"Hallo");
  EXPECT_EQ(translate(kSystran, kSystranStart + std::u16string(u"1st</span>") + kSystranStart + u"Hallo</span>" +
                                    kSystranStart + u"3rd</span>"),
            u"Hallo");
  const std::u16string page = u"<html><body><h1>Service unavailable</h1></body></html>";
  for (int engine : {kGoogle, kBing, kYandex, kBabylon, kPromt}) EXPECT_EQ(translate(engine, page), u"") << engine;
}

TEST_F(ReplyExtraction, PromtPrefersTheEscapedSpanRule) {
  const std::u16string tag = u"\\u003c/span\\u003e";
  EXPECT_EQ(translate(kPromt, u"{\"result\":\"\\u003cspan\\u003eHello" + tag + u" Hallo" + tag + u"\"}"), u"Hallo");
  // Tags without a following space: the piece is empty and the "result" member is not tried.
  EXPECT_EQ(translate(kPromt, u"{\"result\":\"Hallo" + tag + u"\"}"), u"");
}

TEST_F(ReplyExtraction, EscapedQuotesStayInThePieceAndJsonEscapesAreUndone) {
  // As JSON has it: Say "Hi" now\ then a line break, a tab, a return, a backspace, a form feed, a/b.
  const std::u16string escaped = u"Say \\\"Hi\\\" now\\\\\\n\\t\\r\\b\\f a\\/b";
  const std::u16string plain = u"Say \"Hi\" now\\\n\t\r\b\f a/b";
  EXPECT_EQ(translate(kGoogle, u"[{\"trans\":\"" + escaped + u"\",\"orig\":\"x\"}]"), plain);
  EXPECT_EQ(translate(kBing, u"\uFEFF\"" + escaped + u"\""), plain);
  EXPECT_EQ(translate(kYandex, u"{\"text\":[\"" + escaped + u"\\\"]\"]}"), plain + u"\"]");
  EXPECT_EQ(translate(kBabylon, u"cb({\"translatedText\":\"" + escaped + u"\"},200);"), plain);
  EXPECT_EQ(translate(kPromt, u"{\"d\":{\"result\":\"" + escaped + u"\"}}"), plain);
  // An escaped backslash before the closing quote leaves the quote unescaped.
  EXPECT_EQ(translate(kGoogle, u"\"trans\":\"a\\\\\",\"b\""), u"a\\");
  EXPECT_EQ(translate(kYandex, u"\"text\":[\"caf\\u00e9 a\\/b\"]"), u"caf\u00E9 a/b");
  EXPECT_EQ(translate(kGoogle, u"\"trans\":\"ab\\u12\""), u"error");
  // SYSTRAN's piece is HTML text: its backslashes are kept.
  EXPECT_EQ(translate(kSystran, kSystranStart + std::u16string(u"1</span>") + kSystranStart + u"C:\\new\\\"</span>"),
            u"C:\\new\\\"");
}

TEST_F(ReplyExtraction, TheTranslationIsCharactersWhicheverFormTheReplyCameIn) {
  // Read one character per byte, the reply holds UTF-8 bytes; a byte that is no UTF-8 is a Latin-1 letter.
  EXPECT_EQ(translate(kGoogle, Widen("\"trans\":\"\xD0\x96 \xF0\x9F\x98\x80 caf\xE9\"")),
            u"\u0416 \U0001F600 caf\u00e9");
  EXPECT_EQ(translate(kSystran, kSystranStart + std::u16string(u"1</span>") + kSystranStart + Widen("\xD0\x96</span>")),
            u"\u0416");
  // Escapes are characters, never bytes to decode.
  EXPECT_EQ(translate(kGoogle, u"\"trans\":\"\\u00d0\\u0096\""), u"\u00D0\u0096");
  // Decoded by a charset, the reply holds characters already.
  client.CharSet = u"windows-1251";
  EXPECT_EQ(translate(kGoogle, u"\"trans\":\"\u00AB\u041F\u00BB\""), u"\u00AB\u041F\u00BB");
}

TEST_F(ReplyExtraction, SystranWithoutASecondItemRaisesTheIndexError) {
  for (const std::u16string& bad : {std::u16string(kSystranStart) + u"only</span>", std::u16string(u"none")}) {
    try {
      translate(kSystran, bad);
      ADD_FAILURE() << "no exception";
    } catch (const EStringListError& e) {
      EXPECT_EQ(e.Message(), u"List index out of bounds (1)");
    }
  }
}

}  // namespace
}  // namespace tessarine::translate
