#include "translate/engine_request.h"

#include "common/text.h"
#include "translate/text_codecs.h"

namespace tessarine::translate {

namespace {

constexpr char16_t kBingAppId[] = u"5F19C0A7E2B84D3361A0C9F7E4D2B8A190C3E57B";
constexpr char16_t kYandexClientId[] = u"3c8d1f70.2e4a9b61.7d05c3aa-0-0";
constexpr char16_t kSystranSessionId[] = u"27418096530172645";
constexpr char16_t kAcceptLanguage[] = u"ru-RU,ru;q=0.8,en-US;q=0.6,en;q=0.4";

std::vector<uint8_t> Utf8Bytes(std::u16string_view text) {
  const std::string utf8 = ToUtf8(text);
  return std::vector<uint8_t>(utf8.begin(), utf8.end());
}

TEngineRequest PromtRequest(const std::u16string& host, const std::u16string& encodedText,
                            const std::u16string& langs_out, const std::u16string& langs_in) {
  TEngineRequest request;
  request.Url = u"http://" + host + u"/services/TranslationService.asmx/GetTranslateNew";
  // Two separate Accept-Language lines: the client replaces only the first with its own value.
  request.CustomHeaders = {
      {u"Content-Type", u"application/json; charset=UTF-8"},
      {u"Accept", u"application/json, text/javascript, */*; q=0.01"},
      {u"X-Requested-With", u"XMLHttpRequest"},
      {u"Accept-Language", u"ru-RU"},
      {u"DNT", u"1"},
      {u"Referer", u"http://" + host + u"/"},
      {u"Accept-Encoding", u"gzip, deflate"},
      {u"Accept-Language", kAcceptLanguage},
      {u"Cookie",
       u"BrowserTypeTouch=desktop; UserParams=prmtULang=ru; "
       u"LoggedUserParams=loggedOn=false&userLogin=&sessionID=&userName=&encodedUserName=&userSurname=; "
       u"prmtULang=ru; tooltip=1; selDirText=selectedDir=ru-en&selectedTpl=auto&detectedTpl=General"},
  };
  std::u16string body =
      langs_in == u"auto" ? u"{ dirCode:'au-" + langs_out : u"{ dirCode:'" + langs_in + u"-" + langs_out;
  body += u"', template:'auto', text:'" + encodedText +
          u"', lang:'ru', limit:3000,useAutoDetect:true, key:'', ts:'MainSite',tid:'',IsMobile:false}";
  request.Body = Utf8Bytes(body);
  return request;
}

TEngineRequest SystranRequest(const std::u16string& host, const std::u16string& text, const std::u16string& langs_out,
                              const std::u16string& langs_in) {
  TEngineRequest request;
  // lp=ru_en stays whatever the languages are; the real pair travels in the cookie.
  request.Url =
      u"http://" + host + u"/sai?gui=WebUI&lp=ru_en&sessionid=" + kSystranSessionId + u"&service=systranettranslate";
  request.CustomHeaders = {
      {u"Content-Type", u"application/x-www-form-urlencoded; charset=UTF-8"},
      {u"Accept", u"*/*"},
      {u"DNT", u"1"},
      {u"Referer", u"http://" + host + u"/translate"},
      {u"Accept-Encoding", u"gzip, deflate"},
      {u"Accept-Language", kAcceptLanguage},
      {u"Cookie", langs_in == u"auto" ? u"txtPop=0; lphistory=en_" + langs_out + u";"
                                      : u"txtPop=0; lphistory=" + langs_in + u"_" + langs_out + u";"},
  };
  request.Body = Utf8Bytes(u"<html><body>" + text + u"</body></html>");
  return request;
}

}  // namespace

TTextFormat TextFormatOf(std::optional<TTokenForm> form) {
  if (!form) return TTextFormat::Plain;
  return IsMarkup(*form) ? TTextFormat::Markup : TTextFormat::Tokens;
}

TTokenForm BuiltInTokenForm(int servises) {
  // SYSTRAN is sent the text raw inside an HTML page, so it reads markup already; its text wants the escaping of
  // a markup form anyway, and an empty element holds nothing its reply's "</span>" markers could be confused with.
  if (servises == kSystran) return TTokenForm::XmlTag;
  // The others take plain text with no switch for markup: Google's dictionary endpoint and Bing's V2 API
  // (contentType text/plain unless told otherwise) translate tags as words; Yandex's tr.json reads plain text
  // (format=plain is its default); Babylon and Promt take text. And the reply readers of Google, Bing and Babylon
  // end the translation at the first double quote, so a token with quotes (id="1") would cut it short. Bracketed
  // tokens have no quote, angle bracket or ampersand, pass every URL and reply marker unchanged, and are no word
  // of any language for an engine to translate.
  return TTokenForm::Bracketed;
}

std::optional<TEngineRequest> BuildEngineRequest(int servises, const std::u16string& text,
                                                 const std::u16string& langs_out, const std::u16string& langs_in,
                                                 const TEngineHosts& hosts, const TBabylonTable& babylon) {
  if (servises < 0 || servises >= kEngineCount) return std::nullopt;
  const std::u16string& host = hosts.Host(servises);
  TEngineRequest request;
  switch (servises) {
    case kGoogle:
      request.Url = u"http://" + host + u"/translate_a/t?client=dict-chrome-ex&q=" + EncodeUrlText(text) + u"&sl=" +
                    langs_in + u"&tl=" + langs_out + u"&tbb=1&ie=UTF-8&oe=UTF-8";
      break;
    case kBing:
      request.Url = u"http://" + host + u"/v2/ajax.svc/Translate?&appId=" + kBingAppId + u"&from=" + langs_in +
                    u"&to=" + langs_out + u"&text=" + EncodeUrlText(text);
      break;
    case kYandex:
      request.Url = u"https://" + host + u"/api/v1/tr.json/translate?id=" + kYandexClientId + u"&srv=tr-text&lang=" +
                    langs_in + u"-" + langs_out + u"&reason=auto&text=" + EncodeUrlText(text) + u"&options=4";
      break;
    case kBabylon:
      request.Url = u"http://" + host + u"/translate/babylon.php?v=1.0&q=" + EncodeUrlText(text) + u"&langpair=" +
                    babylon.BabylonLangId(langs_in) + u"%7C" + babylon.BabylonLangId(langs_out) +
                    u"&callback=babylonTranslator.callback&context=babylon.7.0._babylon_api_response";
      break;
    case kPromt:
      request = PromtRequest(host, EncodeUrlText(text), langs_out, langs_in);
      break;
    case kSystran:
      request = SystranRequest(host, text, langs_out, langs_in);
      break;
  }
  return request;
}

}  // namespace tessarine::translate
